#ifndef PATCHENTRY_H
#define PATCHENTRY_H

#include <QString>
#include <QtGlobal>

// One "_patch_" key of the product ini: a patch file that turns an installed file with
// `sourceSha512` into the published file installed as `target`.
class PatchEntry
{
public:
    PatchEntry() = default;
    PatchEntry(const QString& section, const QString& name, const QString& sha512, quint64 size,
               const QString& target, const QString& sourceSha512, quint64 sourceSize);

    QString section;
    QString name;           // the key, download name of the patch
    QString sha512;         // digest of the patch file
    quint64 size = 0;       // size of the patch file
    QString target;         // target name of the file keys it serves
    QString sourceSha512;   // digest the installed file must have
    quint64 sourceSize = 0; // size that goes with the source digest
};

#endif // PATCHENTRY_H
