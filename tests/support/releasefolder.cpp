#include "releasefolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace vxtest {

bool ReleaseFolder::scan(const QString& root)
{
    m_Files.clear();
    m_Error.clear();
    const QFileInfo rootInfo(root);
    if (!rootInfo.isDir()) {
        m_Error = QString("no such folder: %1").arg(root);
        return false;
    }
    m_Root = rootInfo.absoluteFilePath();
    const QDir base(m_Root);
    QDirIterator it(m_Root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString absolute = it.next();
        File file;
        file.size = it.fileInfo().size();
        file.sha512 = sha512OfFile(absolute);
        if (file.sha512.isEmpty()) {
            m_Error = QString("cannot read %1").arg(absolute);
            return false;
        }
        m_Files.insert(base.relativeFilePath(absolute), file);
    }
    return true;
}

QString ReleaseFolder::absolutePath(const QString& path) const
{
    return m_Root + "/" + path;
}

bool ReleaseFolder::holdsFolder(const QString& dir) const
{
    const QString prefix = dir + "/";
    auto it = m_Files.lowerBound(prefix);
    return it != m_Files.end() && it.key().startsWith(prefix);
}

QString ReleaseFolder::sha512OfFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

} // namespace vxtest
