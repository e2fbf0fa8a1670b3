#include "workfolderlock.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

WorkFolderLock::WorkFolderLock(const QString& path, Kind kind)
    : folder(path)
{
    fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    if (::flock(fd, (kind == Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        ::close(fd);
        fd = -1;
    }
}

WorkFolderLock::~WorkFolderLock()
{
    if (fd >= 0)
        ::close(fd);
}
