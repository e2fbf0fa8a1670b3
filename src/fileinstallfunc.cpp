#include "fileinstallfunc.h"

#include "checksigfunc.h"
#include "safepath.h"
#include "stagedfile.h"
#include "trustedfolder.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// True when nobody but the effective user or root (or only their private group) can add or
// replace a name in `folder`.
bool onlyOwnersWrite(const QString& folder)
{
    const int fd = SafePath::openFolder(folder);
    struct stat st;
    const bool only = fd >= 0 && ::fstat(fd, &st) == 0
        && (st.st_uid == 0 || st.st_uid == ::geteuid()) && TrustedFolder::onlyOwnerWrites(fd, st);
    if (fd >= 0)
        ::close(fd);
    return only;
}

} // namespace

FileInstallFunc::FileInstallFunc(const QString& staged, const QString& dst, bool checked,
                                 const QString& sha512, const QString& failText,
                                 struct stat* identity)
    : staged(staged)
    , dst(dst)
    , checked(checked)
    , sha512(sha512)
    , failText(failText)
    , identity(identity)
{
}

bool FileInstallFunc::run()
{
    // Only the very file the write step made: never a link or a name planted in its place.
    const int fd = SafePath::openOwnFile(staged, O_RDONLY);
    if (fd < 0) {
        qDebug() << "FileInstallFunc: could not open" << staged << StagedFile::lastError();
        const QString refusal = SafePath::takeRefusal();
        if (!refusal.isEmpty())
            emit message(refusal);
        emit message(failText);
        return false;
    }
    const bool ok = ready(fd);
    ::close(fd);
    return ok;
}

bool FileInstallFunc::ready(int fd)
{
    // The mode first, so that the flush covers it as well as the content.
    if (::fstat(fd, identity) != 0 || !setOwnerAndMode(fd) || !flush(fd)) {
        emit message(failText);
        return false;
    }
    // Without a digest the result is judged by the signature file it will have beside it.
    CheckSigFunc check(staged, sha512, dst + ".sig");
    check.readFrom(fd);
    if (checked && !check.run()) {
        emit message(QString("Signature check failed for %1").arg(dst));
        return false;
    }
    return true;
}

bool FileInstallFunc::flush(int fd)
{
    if (::fsync(fd) == 0)
        return true;
    qDebug() << "FileInstallFunc: could not flush" << staged << StagedFile::lastError();
    return false;
}

bool FileInstallFunc::setOwnerAndMode(int fd)
{
    // The mode of what a link at dst points to, never the link's own. Neither is taken from a
    // file that another user may have put there.
    struct stat old;
    const bool replacing = SafePath::status(dst, &old, true) && S_ISREG(old.st_mode)
        && (old.st_uid == ::geteuid() || onlyOwnersWrite(QFileInfo(dst).path()));
    struct stat now;
    if (replacing && ::fstat(fd, &now) == 0 && geteuid() == 0
        && (now.st_uid != old.st_uid || now.st_gid != old.st_gid)) {
        // Writing over the file in place kept its owner; the new file keeps it too.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            qDebug() << "FileInstallFunc: could not keep the owner of" << dst
                     << StagedFile::lastError();
    }
    const mode_t mode =
        StagedFile::modeFor(QFileInfo(dst).fileName(), replacing, replacing ? old.st_mode : 0);
    if (::fchmod(fd, mode) != 0) {
        qDebug() << "FileInstallFunc: could not set the mode of" << staged << StagedFile::lastError();
        return false;
    }
    return true;
}
