#include "updatefileentry.h"

#include <QFileInfo>

UpdateFileEntry::UpdateFileEntry(const QString& section, const QString& name, const QString& sha512,
                                 quint64 size, const QString& target, const QString& patch)
    : section(section)
    , name(name)
    , sha512(sha512)
    , size(size)
    , target(target)
    , patch(patch)
{
}

bool UpdateFileEntry::hasTarget() const
{
    return !target.isEmpty();
}

bool UpdateFileEntry::hasPatch() const
{
    return !patch.isEmpty();
}

QString UpdateFileEntry::effectiveName() const
{
    return hasTarget() ? target : name;
}

QString UpdateFileEntry::prefixedName(const QString& prefix) const
{
    const QString effective = effectiveName();
    if (prefix.isEmpty())
        return effective;
    const QFileInfo info(effective);
    const QString directory = info.path();
    if (directory == QLatin1String("."))
        return prefix + info.fileName();
    return directory + QLatin1Char('/') + prefix + info.fileName();
}
