#include "prepostinstallentry.h"

PrePostInstallEntry::PrePostInstallEntry(const QString& program, const QStringList& args, bool required)
    : program(program)
    , args(args)
    , required(required)
{
}
