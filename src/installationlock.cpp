#include "installationlock.h"

#include "runtimefolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int lockDescriptor = -1;

// Two spellings of one folder (a symbolic link, a trailing slash) name the same lock.
QString canonicalDir(const QString& dir)
{
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(dir).absolutePath()) : canonical;
}

} // namespace

QString InstallationLock::lockFilePath(const QString& folder, const QString& installDir)
{
    const QByteArray digest = QCryptographicHash::hash(QFile::encodeName(canonicalDir(installDir)),
                                                       QCryptographicHash::Sha256);
    return folder + QStringLiteral("/vx3update-") + QString::fromLatin1(digest.toHex().left(32))
           + QStringLiteral(".lock");
}

InstallationLock::Result InstallationLock::acquire(const QString& installDir, QString* error)
{
    if (lockDescriptor >= 0)
        return Acquired;
    QString reason;
    const QString folder = RuntimeFolder::lockFolder(&reason);
    if (folder.isEmpty()) {
        *error = reason;
        return Failed;
    }
    const QString path = lockFilePath(folder, installDir);
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *error = QString("Cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            return HeldByOther;
        *error = QString("Cannot lock %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(code)));
        return Failed;
    }
    lockDescriptor = fd;
    return Acquired;
}

void InstallationLock::release()
{
    if (lockDescriptor < 0)
        return;
    ::close(lockDescriptor);
    lockDescriptor = -1;
}
