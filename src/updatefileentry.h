#ifndef UPDATEFILEENTRY_H
#define UPDATEFILEENTRY_H

#include <QString>
#include <QtGlobal>

// One published file to install: copied, unpacked or rebuilt from a patch. A plain value held in
// the replace list.
class UpdateFileEntry
{
public:
    UpdateFileEntry() = default;
    UpdateFileEntry(const QString& section, const QString& name, const QString& sha512, quint64 size,
                    const QString& target, const QString& patch = QString());

    bool hasTarget() const;
    bool hasPatch() const;
    // Installed relative path: the target when there is one, else the name.
    QString effectiveName() const;
    // The effective name with `prefix` put before its file-name part, the directory kept.
    QString prefixedName(const QString& prefix) const;

    QString section;  // section of the key, the server folder
    QString name;     // the key: relative path of the published file
    QString sha512;   // digest of the installed file (five-part values only)
    quint64 size = 0; // size of the installed file (five-part values only)
    QString target;   // installed relative path (five-part values only)
    QString patch;    // key of the chosen patch; empty when fetched whole
    qint64 oldSize = -1; // size of the installed file the patch applies to, as its digest was
                         // checked; -1 when not known
};

#endif // UPDATEFILEENTRY_H
