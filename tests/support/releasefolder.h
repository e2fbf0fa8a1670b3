#ifndef VXTEST_RELEASEFOLDER_H
#define VXTEST_RELEASEFOLDER_H

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

namespace vxtest {

// The regular files of one folder tree (an installation or a release), by relative path with "/"
// separators, each with its size and SHA-512 digest as the updater compares them (lower-case
// hexadecimal). Symbolic links and empty folders are not part of a release and are left out.
// A plain value, filled once by scan() on the calling thread.
class ReleaseFolder
{
public:
    struct File {
        qint64 size = 0;
        QString sha512;
    };

    // Lists and digests every file below `root`. False (see errorText) when the folder is missing
    // or a file cannot be read.
    bool scan(const QString& root);

    QString root() const { return m_Root; }
    // Relative paths in ascending order.
    QStringList paths() const { return m_Files.keys(); }
    bool contains(const QString& path) const { return m_Files.contains(path); }
    File file(const QString& path) const { return m_Files.value(path); }
    QString absolutePath(const QString& path) const;
    // True when a file of this tree lies below the relative folder `dir`.
    bool holdsFolder(const QString& dir) const;
    QString errorText() const { return m_Error; }

    // SHA-512 of the file's content as lower-case hexadecimal; empty when it cannot be read.
    static QString sha512OfFile(const QString& path);

private:
    QString m_Root;
    QMap<QString, File> m_Files;
    QString m_Error;
};

} // namespace vxtest

#endif // VXTEST_RELEASEFOLDER_H
