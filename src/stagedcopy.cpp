#include "stagedcopy.h"

#include "checksigfunc.h"
#include "safepath.h"
#include "stagedfile.h"

#include <QDebug>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool verified(int fd, const QString& path, const QString& sha512, const QString& sigFile)
{
    CheckSigFunc check(path, sha512, sigFile);
    check.readFrom(fd);
    return check.run();
}

} // namespace

bool StagedCopy::copy(const QString& from, const QString& to, quint64 limit, bool checked,
                      const QString& sha512)
{
    struct stat st;
    const int in = SafePath::openRegular(from, O_RDONLY, &st);
    if (in < 0)
        return false;
    const mode_t mode = StagedFile::modeFor(QFileInfo(to).fileName(), true, st.st_mode);
    const QString sigFile = from + ".sig";
    bool ok = limit == 0 || quint64(st.st_size) <= limit;
    if (ok && checked && isCurrent(to, mode, sha512, sigFile)) {
        ::close(in);
        return true;
    }
    const QString temp = StagedFile::stagingPath(to);
    ok = ok && write(in, st.st_size, temp, mode);
    ::close(in);
    if (ok && checked) {
        const int fd = SafePath::openOwnFile(temp, O_RDONLY);
        ok = fd >= 0 && verified(fd, temp, sha512, sigFile);
        if (fd >= 0)
            ::close(fd);
    }
    if (!(ok && SafePath::rename(temp, to))) {
        qDebug() << "StagedCopy: could not copy" << from << "to" << to << StagedFile::lastError();
        SafePath::remove(temp);
        return false;
    }
    return true;
}

bool StagedCopy::isCurrent(const QString& path, mode_t mode, const QString& sha512,
                           const QString& sigFile)
{
    const int fd = SafePath::openOwnFile(path, O_RDONLY);
    if (fd < 0)
        return false;
    struct stat st;
    const bool current = ::fstat(fd, &st) == 0 && (st.st_mode & 07777) == mode
        && verified(fd, path, sha512, sigFile);
    ::close(fd);
    return current;
}

bool StagedCopy::write(int in, qint64 size, const QString& temp, mode_t mode)
{
    // A staged name of a killed run is taken over; the mode is set before a byte is written.
    const int out = SafePath::createFile(temp, mode, true);
    if (out < 0)
        return false;
    const bool ok = ::fchmod(out, mode) == 0 && StagedFile::copyBytes(in, out, size) && ::fsync(out) == 0;
    return ::close(out) == 0 && ok;
}
