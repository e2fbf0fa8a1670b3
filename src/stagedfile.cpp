#include "stagedfile.h"

#include "safepath.h"

#include <QDebug>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString kPrefix = QStringLiteral(".");
const QString kStagingSuffix = QStringLiteral(".voxmere_new");
const QString kUndoSuffix = QStringLiteral(".voxmere_undo");

QString besides(const QString& path, const QString& suffix)
{
    const QFileInfo info(path);
    return info.path() + "/" + kPrefix + info.fileName() + suffix;
}

QByteArray osPath(const QString& path)
{
    return QFile::encodeName(path);
}

bool syncPath(const QString& path, int flags)
{
    const int fd = SafePath::open(path, flags);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

QString StagedFile::stagingPath(const QString& dst)
{
    return besides(dst, kStagingSuffix);
}

QString StagedFile::undoPath(const QString& dst)
{
    return besides(dst, kUndoSuffix);
}

bool StagedFile::isLeftoverName(const QString& fileName)
{
    return fileName.startsWith(kPrefix)
        && (fileName.endsWith(kStagingSuffix) || fileName.endsWith(kUndoSuffix));
}

bool StagedFile::isUndoPath(const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    return name.startsWith(kPrefix) && name.endsWith(kUndoSuffix);
}

int StagedFile::removeLeftovers(const QString& root)
{
    if (root.isEmpty())
        return 0;
    int removed = 0;
    QDirIterator it(root, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!isLeftoverName(it.fileName()))
            continue;
        const bool ok = SafePath::remove(path);
        qDebug() << "Removed leftover" << path << ok;
        removed += ok ? 1 : 0;
    }
    return removed;
}

bool StagedFile::isExecutableName(const QString& fileName)
{
    static const QSet<QString> names{"vx3client_linux_x86", "vx3client_linux_amd64",
                                     "vx3client_runscript.sh", "update", "error_report",
                                     "package_inst", "QtWebEngineProcess"};
    // Everything after the first dot of the name.
    static const QSet<QString> librarySuffixes{"so", "so.0", "so.1", "so.4", "so.5"};
    const int dot = fileName.indexOf('.');
    return names.contains(fileName)
        || (dot >= 0 && librarySuffixes.contains(fileName.mid(dot + 1)));
}

mode_t StagedFile::modeFor(const QString& fileName, bool replacing, mode_t oldMode)
{
    mode_t mode = replacing ? (oldMode & 0777) : mode_t(0644);
    mode &= ~mode_t(S_IWGRP | S_IWOTH);
    if (isExecutableName(fileName))
        mode |= S_IXUSR | ((mode & (S_IRGRP | S_IROTH)) >> 2);
    return mode;
}

bool StagedFile::syncFile(const QString& path)
{
    return syncPath(path, O_RDONLY | O_NONBLOCK);
}

bool StagedFile::syncDirectoryOf(const QString& path)
{
    const int folder = SafePath::openFolder(QFileInfo(path).path());
    if (folder < 0)
        return false;
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fsync(fd) == 0;
    const int saved = errno;
    if (fd >= 0)
        ::close(fd);
    ::close(folder);
    errno = saved;
    return ok;
}

bool StagedFile::keepForUndo(const QString& path, const QString& undo)
{
    if (SafePath::link(path, undo))
        return true;
    if (errno != EXDEV && errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK
        && errno != ENOSYS)
        return false;
    // Without hard links the earlier content is copied once, still on the same file system.
    struct stat st;
    if (!SafePath::status(path, &st, false) || !copyFile(path, undo, st.st_mode))
        return false;
    if (!syncFile(undo)) {
        SafePath::remove(undo);
        return false;
    }
    return true;
}

bool StagedFile::copyFile(const QString& from, const QString& to, mode_t mode)
{
    // Written here rather than with QFile::copy, which goes through a temporary file of a name
    // of its own that a killed run would leave behind.
    // Not blocking on a fifo planted in the place of the source.
    const int in = ::open(osPath(from).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0)
        return false;
    const int out = SafePath::createFile(to, mode & 0777);
    if (out < 0) {
        ::close(in);
        return false;
    }
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!writeAll(out, buffer.data(), size_t(n))) {
            ok = false;
            break;
        }
    }
    ok = ::fchmod(out, mode & 0777) == 0 && ok;
    const int saved = errno;
    ok = ::close(out) == 0 && ok;
    ::close(in);
    if (!ok) {
        SafePath::remove(to);
        errno = saved;
    }
    return ok;
}

bool StagedFile::renameOver(const QString& from, const QString& to)
{
    return SafePath::rename(from, to);
}

QString StagedFile::lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
