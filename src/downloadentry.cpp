#include "downloadentry.h"

DownloadEntry::DownloadEntry(const QString& section, const QString& name, const QString& sha512, quint64 size)
    : section(section)
    , name(name)
    , sha512(sha512)
    , size(size)
{
}
