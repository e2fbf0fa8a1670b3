#ifndef DOWNLOADENTRY_H
#define DOWNLOADENTRY_H

#include <QString>
#include <QtGlobal>

// One file to fetch from the update server into the working directory: a whole file or a patch.
class DownloadEntry
{
public:
    DownloadEntry() = default;
    DownloadEntry(const QString& section, const QString& name, const QString& sha512, quint64 size);

    QString section;  // server folder
    QString name;     // relative name under the folder and under the working directory
    QString sha512;   // digest the fetched file must have; empty: check its signature instead
    quint64 size = 0; // expected size
};

#endif // DOWNLOADENTRY_H
