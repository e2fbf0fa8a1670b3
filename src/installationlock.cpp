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
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A holder that lets go unlinks the name first; a run that opened it just before locks a file
// without a name and tries again. More rounds than that mean something else is wrong.
const int kMaxAttempts = 100;

int lockDescriptor = -1;
QString lockPath;
QString lockedInstallation;

// Two spellings of one folder (a symbolic link, a trailing slash) name the same lock.
QString canonicalDir(const QString& dir)
{
    const QString canonical = QFileInfo(dir).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QDir(dir).absolutePath()) : canonical;
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Whether the locked descriptor is still the file at `path`.
bool stillNamed(int fd, const QByteArray& path)
{
    struct stat held;
    struct stat named;
    return ::fstat(fd, &held) == 0 && ::lstat(path.constData(), &named) == 0
           && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// The process lets go of its lock on every way out, so that the lock file goes with it.
struct ReleaseAtExit {
    ~ReleaseAtExit() { InstallationLock::release(); }
} releaseAtExit;

} // namespace

QString InstallationLock::key(const QString& installDir)
{
    const QByteArray digest = QCryptographicHash::hash(QFile::encodeName(canonicalDir(installDir)),
                                                       QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex().left(32));
}

QString InstallationLock::lockFilePath(const QString& folder, const QString& installDir)
{
    return folder + QStringLiteral("/vx3update-") + key(installDir) + QStringLiteral(".lock");
}

QString InstallationLock::installation()
{
    return lockedInstallation;
}

InstallationLock::Result InstallationLock::acquire(const QString& installDir, QString* error)
{
    if (lockDescriptor >= 0)
        return Acquired;
    lockedInstallation = installDir;
    QString reason;
    const QString folder = RuntimeFolder::lockFolder(&reason);
    if (folder.isEmpty()) {
        *error = reason;
        return Failed;
    }
    const QString path = lockFilePath(folder, installDir);
    const QByteArray name = QFile::encodeName(path);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            *error = QString("Cannot open %1: %2").arg(path, systemError(errno));
            return Failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int code = errno;
            ::close(fd);
            if (code == EWOULDBLOCK)
                return HeldByOther;
            *error = QString("Cannot lock %1: %2").arg(path, systemError(code));
            return Failed;
        }
        if (stillNamed(fd, name)) {
            lockDescriptor = fd;
            lockPath = path;
            return Acquired;
        }
        ::close(fd);
    }
    *error = QString("Cannot lock %1: it keeps being replaced").arg(path);
    return Failed;
}

void InstallationLock::release()
{
    if (lockDescriptor < 0)
        return;
    // Removed while still held: whoever opens the name from now on makes a new file.
    ::unlink(QFile::encodeName(lockPath).constData());
    ::close(lockDescriptor);
    lockDescriptor = -1;
    lockedInstallation.clear();
}
