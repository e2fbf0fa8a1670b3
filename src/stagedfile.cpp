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

// Copies exactly the `size` bytes of `in` into the new file `to`.
bool copyOpened(int in, qint64 size, const QString& to, mode_t mode)
{
    const int out = SafePath::createFile(to, mode & 0777);
    if (out < 0)
        return false;
    bool ok = StagedFile::copyBytes(in, out, size);
    ok = ::fchmod(out, mode & 0777) == 0 && ok;
    const int saved = errno;
    ok = ::close(out) == 0 && ok;
    if (!ok) {
        SafePath::remove(to);
        errno = saved;
    }
    return ok;
}

bool copyRegular(const QString& from, const QString& to, mode_t mode, bool ownMode,
                 qint64 maxSize)
{
    struct stat st;
    // A copy that takes the source's mode never goes through a link at its name; the others
    // follow one only where SafePath follows one on the way.
    const int in = ownMode ? SafePath::openRegular(from, O_RDONLY, &st)
                           : SafePath::openRegularBehindLinks(from, O_RDONLY, &st);
    if (in < 0)
        return false;
    bool ok = false;
    if (maxSize >= 0 && st.st_size > maxSize)
        errno = EFBIG;
    else
        ok = copyOpened(in, st.st_size, to, ownMode ? (st.st_mode & mode) : mode);
    const int saved = errno;
    ::close(in);
    errno = saved;
    return ok;
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
    QDirIterator it(root,
                    QDir::Files | QDir::Dirs | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!isLeftoverName(it.fileName()))
            continue;
        const bool ok = removeLeftover(path);
        qDebug() << "Removed leftover" << path << ok;
        removed += ok ? 1 : 0;
    }
    return removed;
}

bool StagedFile::removeLeftover(const QString& path)
{
    struct stat st;
    // Gone, or what stays there is for the step that writes the name to report.
    if (SafePath::remove(path) || errno != EISDIR || !SafePath::status(path, &st, false)
        || !S_ISDIR(st.st_mode))
        return true;
    return st.st_uid == ::geteuid() && SafePath::removeTree(path);
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
    if (!copyWithOwnMode(path, undo, 0777))
        return false;
    if (!syncFile(undo)) {
        SafePath::remove(undo);
        return false;
    }
    return true;
}

bool StagedFile::copyFile(const QString& from, const QString& to, mode_t mode, qint64 maxSize)
{
    // Written here rather than with QFile::copy, which goes through a temporary file of a name
    // of its own that a killed run would leave behind.
    return copyRegular(from, to, mode, false, maxSize);
}

bool StagedFile::copyWithOwnMode(const QString& from, const QString& to, mode_t allowed)
{
    return copyRegular(from, to, allowed, true, -1);
}

bool StagedFile::copyBytes(int in, int out, qint64 size)
{
    std::vector<char> buffer(size_t(qMin<qint64>(size, 1 << 20)));
    for (qint64 left = size; left > 0;) {
        const ssize_t n = ::read(in, buffer.data(), size_t(qMin<qint64>(left, qint64(buffer.size()))));
        if (n < 0 && errno == EINTR)
            continue;
        // Shorter than it was at opening: not the content that was to be copied.
        if (n <= 0 || !writeAll(out, buffer.data(), size_t(n)))
            return false;
        left -= n;
    }
    return true;
}

bool StagedFile::renameOver(const QString& from, const QString& to)
{
    return SafePath::rename(from, to);
}

QString StagedFile::lastError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}
