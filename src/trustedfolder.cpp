#include "trustedfolder.h"

#include "safepath.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <vector>

namespace {

const char kWorkFolderPrefix[] = "voxmere_temp_";
// Inside a random-name work folder: the name alone cannot tell it from a user's own folder.
const char kWorkFolderMarker[] = ".voxmere_work_folder";

bool isNumberedWorkFolderName(const QString& name)
{
    static const QRegularExpression pattern(
        QStringLiteral("^%1(0|[1-9][0-9]{0,2})$").arg(QLatin1String(kWorkFolderPrefix)));
    return pattern.match(name).hasMatch();
}

bool fail(QString* reason, const QString& text)
{
    if (reason)
        *reason = text;
    return false;
}

QString userName(uid_t uid)
{
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return QString();
    return QString::fromLocal8Bit(found->pw_name);
}

// Whether some user other than `owner` belongs to group `gid`, as a listed member or through
// the primary group of their account; a group that cannot be looked up counts as shared.
bool groupHasOtherMember(gid_t gid, uid_t owner)
{
    const QString ownerName = userName(owner);
    std::vector<char> buffer(65536);
    struct group entry;
    struct group* found = nullptr;
    if (ownerName.isEmpty() || ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0
        || !found)
        return true;
    for (char** member = found->gr_mem; *member; ++member)
        if (QString::fromLocal8Bit(*member) != ownerName)
            return true;
    bool other = false;
    ::setpwent();
    std::vector<char> line(16384);
    struct passwd account;
    struct passwd* next = nullptr;
    int result = 0;
    while (!other && (result = ::getpwent_r(&account, line.data(), line.size(), &next)) == 0 && next)
        other = next->pw_gid == gid && next->pw_uid != owner;
    ::endpwent();
    // An account list that could not be read to its end may hide a member.
    return other || (result != 0 && result != ENOENT);
}

// An access ACL can give write to users the mode bits do not show. Read through /proc, which
// works for O_PATH descriptors too; an ACL that cannot be read counts as one.
bool hasAccessAcl(int fd)
{
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
    if (::getxattr(path.constData(), "system.posix_acl_access", nullptr, 0) >= 0)
        return true;
    return errno != ENODATA && errno != ENOTSUP;
}

QString modeText(const struct stat& status)
{
    return QString("%1").arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
}

// isPrivate for the folder `fd`, with group write allowed where only the owner has it.
bool isOwnPrivateFolder(int fd, QString* reason)
{
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return fail(reason, QString::fromLocal8Bit(std::strerror(errno)));
    // Group write is harmless when the group is the owner's alone: under umask 002 with a
    // private user group, mkdir makes such folders (0775).
    if ((status.st_mode & S_IWGRP) && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()) {
        if (!TrustedFolder::onlyOwnerWrites(fd, status, reason))
            return false;
        status.st_mode &= ~S_IWGRP;
    }
    return TrustedFolder::isPrivate(status, reason);
}

} // namespace

bool TrustedFolder::isPrivate(const QString& path, QString* reason)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fail(reason, QString::fromLocal8Bit(std::strerror(errno)));
    const bool trusted = isOwnPrivateFolder(fd, reason);
    ::close(fd);
    return trusted;
}

bool TrustedFolder::onlyOwnerWrites(int fd, const struct stat& status, QString* reason)
{
    if (status.st_mode & S_IWOTH)
        return fail(reason, QString("is writable by group or others (mode %1)").arg(modeText(status)));
    if (!(status.st_mode & S_IWGRP))
        return true;
    if (groupHasOtherMember(status.st_gid, status.st_uid))
        return fail(reason, QString("is writable by group or others (mode %1, group %2 has "
                                    "other members)").arg(modeText(status)).arg(status.st_gid));
    if (hasAccessAcl(fd))
        return fail(reason, QString("is writable by group or others (mode %1 with an access "
                                    "ACL)").arg(modeText(status)));
    return true;
}

bool TrustedFolder::isPrivate(const struct stat& status, QString* reason)
{
    if (S_ISLNK(status.st_mode))
        return fail(reason, QStringLiteral("is a symbolic link"));
    if (!S_ISDIR(status.st_mode))
        return fail(reason, QStringLiteral("is not a directory"));
    if (status.st_uid != ::geteuid())
        return fail(reason, QStringLiteral("is owned by another user (uid %1)").arg(status.st_uid));
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return fail(reason, QStringLiteral("is writable by group or others (mode %1)")
                                .arg(status.st_mode & 07777, 4, 8, QLatin1Char('0')));
    return true;
}

bool TrustedFolder::isWorkFolder(const QString& path, QString* reason)
{
    if (!QDir::isAbsolutePath(path))
        return fail(reason, QStringLiteral("is not an absolute path"));
    const QString clean = QDir::cleanPath(path);
    const int slash = clean.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash == 0 ? QStringLiteral("/") : clean.left(slash);
    const QString tempFolder = QDir::cleanPath(QDir::tempPath());
    if (parent != tempFolder || !isWorkFolderName(clean.mid(slash + 1)))
        return fail(reason, QStringLiteral("is not a %1<n> folder directly under the temp folder %2")
                                .arg(QLatin1String(kWorkFolderPrefix), tempFolder));
    return isSafeTempFolder(tempFolder, reason) && isPrivate(clean, reason);
}

// In a folder that others may write to, only the sticky bit keeps them from renaming our
// folder away and putting one of theirs in its place.
bool TrustedFolder::isSafeTempFolder(const QString& path, QString* reason)
{
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return fail(reason, QStringLiteral("lies in a temp folder %1 that is not an existing directory").arg(path));
    if (status.st_uid != 0 && status.st_uid != ::geteuid())
        return fail(reason, QStringLiteral("lies in a temp folder %1 owned by another user").arg(path));
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) && !(status.st_mode & S_ISVTX))
        return fail(reason, QStringLiteral("lies in a temp folder %1 that others may rename entries of").arg(path));
    return true;
}

bool TrustedFolder::isOwnWorkFolder(const QString& path)
{
    if (!isWorkFolder(path))
        return false;
    const QString clean = QDir::cleanPath(path);
    if (isNumberedWorkFolderName(clean.mid(clean.lastIndexOf(QLatin1Char('/')) + 1)))
        return true;
    struct stat status;
    return SafePath::status(clean + QLatin1Char('/') + QLatin1String(kWorkFolderMarker), &status, false)
        && S_ISREG(status.st_mode) && status.st_uid == ::geteuid();
}

bool TrustedFolder::markWorkFolder(const QString& path)
{
    const QString marker = QDir::cleanPath(path) + QLatin1Char('/') + QLatin1String(kWorkFolderMarker);
    const int fd = SafePath::createFile(marker, S_IRUSR | S_IWUSR);
    return fd >= 0 && ::close(fd) == 0;
}

bool TrustedFolder::isWorkFolderName(const QString& name)
{
    static const QRegularExpression random(
        QStringLiteral("^%1[A-Za-z0-9]{6}$").arg(QLatin1String(kWorkFolderPrefix)));
    return isNumberedWorkFolderName(name) || random.match(name).hasMatch();
}

QString TrustedFolder::workFolderName(int number)
{
    return QLatin1String(kWorkFolderPrefix) + QString::number(number);
}

QString TrustedFolder::workFolderTemplate()
{
    return QLatin1String(kWorkFolderPrefix) + QStringLiteral("XXXXXX");
}
