#include "patchentry.h"

PatchEntry::PatchEntry(const QString& section, const QString& name, const QString& sha512, quint64 size,
                       const QString& target, const QString& sourceSha512, quint64 sourceSize)
    : section(section)
    , name(name)
    , sha512(sha512)
    , size(size)
    , target(target)
    , sourceSha512(sourceSha512)
    , sourceSize(sourceSize)
{
}
