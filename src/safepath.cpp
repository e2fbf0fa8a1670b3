#include "safepath.h"

#include "trustedfolder.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// As the kernel counts them when it resolves a path.
const int kMaxLinks = 40;

thread_local QString refusal;

QStringList componentsOf(const QString& path)
{
    return path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

QString absolute(const QString& path)
{
    return path.startsWith(QLatin1Char('/')) ? path : QDir::currentPath() + "/" + path;
}

bool isOwnersId(uid_t uid)
{
    return uid == 0 || uid == ::geteuid();
}

// A link that only the effective user or root can have put where it is, and only they can change:
// in a folder of theirs that no one else can write to (the folders TrustedFolder trusts), or a
// sticky one.
bool mayFollow(int folder, const struct stat& link)
{
    struct stat dir;
    if (!isOwnersId(link.st_uid) || ::fstat(folder, &dir) != 0 || !isOwnersId(dir.st_uid))
        return false;
    return (dir.st_mode & S_ISVTX) != 0 || TrustedFolder::onlyOwnerWrites(folder, dir);
}

void refuse(const QString& link)
{
    refusal = QString("Not following the link '%1': other users could have put it there").arg(link);
    errno = ELOOP;
}

QString readLink(int folder, const QByteArray& name)
{
    QByteArray buffer(4096, Qt::Uninitialized);
    const ssize_t n = ::readlinkat(folder, name.constData(), buffer.data(), buffer.size());
    if (n <= 0 || n >= buffer.size())
        return QString();
    return QFile::decodeName(buffer.left(int(n)));
}

// The open folders from "/" down to where the walk stands; closes them all when it goes.
class FolderStack
{
public:
    ~FolderStack() { unwind(0); }
    bool push(int fd, const QString& name)
    {
        if (fd < 0)
            return false;
        fds.push_back(fd);
        names << name;
        return true;
    }
    void unwind(size_t keep)
    {
        while (fds.size() > keep) {
            ::close(fds.back());
            fds.pop_back();
            names.removeLast();
        }
    }
    int top() const { return fds.back(); }
    size_t size() const { return fds.size(); }
    int release()
    {
        const int fd = fds.back();
        fds.pop_back();
        names.removeLast();
        return fd;
    }
    QString pathOf(const QString& name) const
    {
        return QStringList(names.mid(1) + QStringList{name}).join('/').prepend('/');
    }

private:
    std::vector<int> fds;
    QStringList names;
};

int walk(const QString& path)
{
    FolderStack stack;
    if (!stack.push(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC), QString()))
        return -1;
    QStringList todo = componentsOf(absolute(path));
    int links = 0;
    while (!todo.isEmpty()) {
        const QString part = todo.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            stack.unwind(qMax<size_t>(1, stack.size() - 1));
            continue;
        }
        const QByteArray name = QFile::encodeName(part);
        if (stack.push(::openat(stack.top(), name.constData(),
                                O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC),
                       part))
            continue;
        const int error = errno;
        struct stat st;
        if (error != ENOTDIR
            || ::fstatat(stack.top(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISLNK(st.st_mode)) {
            errno = error;
            return -1;
        }
        if (!mayFollow(stack.top(), st)) {
            refuse(stack.pathOf(part));
            return -1;
        }
        const QString target = readLink(stack.top(), name);
        if (target.isEmpty() || ++links > kMaxLinks) {
            errno = ELOOP;
            return -1;
        }
        if (target.startsWith(QLatin1Char('/')))
            stack.unwind(1);
        todo = componentsOf(target) + todo;
    }
    return stack.release();
}

// The folder of a path's last name, open, and that name.
struct Parent
{
    explicit Parent(const QString& path)
    {
        const QString full = absolute(path);
        const int slash = full.lastIndexOf(QLatin1Char('/'));
        const QString last = full.mid(slash + 1);
        if (last.isEmpty() || last == QLatin1String(".") || last == QLatin1String("..")) {
            errno = EINVAL;
            return;
        }
        leaf = QFile::encodeName(last);
        fd = walk(full.left(qMax(1, slash)));
    }
    ~Parent()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Parent(const Parent&) = delete;
    Parent& operator=(const Parent&) = delete;

    int fd = -1;
    QByteArray leaf;
};

int createIn(const Parent& parent, mode_t mode)
{
    return ::openat(parent.fd, parent.leaf.constData(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

bool statusOf(const QString& path, struct stat* st, bool followLink, int depth)
{
    const Parent parent(path);
    if (parent.fd < 0
        || ::fstatat(parent.fd, parent.leaf.constData(), st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (!followLink || !S_ISLNK(st->st_mode))
        return true;
    if (!mayFollow(parent.fd, *st) || depth >= kMaxLinks) {
        errno = ELOOP;
        return false;
    }
    const QString target = readLink(parent.fd, parent.leaf);
    if (target.isEmpty())
        return false;
    const QString next = target.startsWith(QLatin1Char('/'))
        ? target
        : absolute(path).section(QLatin1Char('/'), 0, -2) + "/" + target;
    return statusOf(next, st, true, depth + 1);
}

// Deeper trees than this are left as they are rather than holding a descriptor per level.
const int kMaxTreeDepth = 256;

bool removeAt(int folder, const char* name, dev_t device, bool keepLinks, int depth);

// The names in the open folder `fd` (taken over and closed), but "." and "..".
bool listNames(int fd, std::vector<QByteArray>* names)
{
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names->emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return true;
}

// Removes what the folder `folder` holds; every entry is tried, false when any stays.
bool removeEntries(int folder, dev_t device, bool keepLinks, int depth)
{
    const int fd = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::vector<QByteArray> names;
    if (fd < 0 || !listNames(fd, &names))
        return false;
    bool ok = true;
    int error = 0;
    for (const QByteArray& name : names) {
        if (!removeAt(folder, name.constData(), device, keepLinks, depth)) {
            ok = false;
            error = errno;
        }
    }
    errno = error;
    return ok;
}

// Removes the entry `name` of `folder`, a folder with everything in it; nothing on another
// device than `device` and no link is entered.
bool removeAt(int folder, const char* name, dev_t device, bool keepLinks, int depth)
{
    struct stat seen;
    if (::fstatat(folder, name, &seen, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (S_ISLNK(seen.st_mode) && keepLinks) {
        errno = ENOTEMPTY;
        return false;
    }
    if (!S_ISDIR(seen.st_mode))
        return ::unlinkat(folder, name, 0) == 0 || errno == ENOENT;
    if (seen.st_dev != device) {
        errno = EXDEV;
        return false;
    }
    if (depth >= kMaxTreeDepth) {
        errno = ELOOP;
        return false;
    }
    const int sub = ::openat(folder, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub < 0)
        return false;
    struct stat opened;
    if (::fstat(sub, &opened) != 0 || opened.st_dev != seen.st_dev
        || opened.st_ino != seen.st_ino) {
        // Swapped since it was looked at: whatever is there now is not what was to go.
        ::close(sub);
        errno = ESTALE;
        return false;
    }
    const bool emptied = removeEntries(sub, device, keepLinks, depth + 1);
    const int error = errno;
    ::close(sub);
    if (!emptied) {
        errno = error;
        return false;
    }
    return ::unlinkat(folder, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

} // namespace

int SafePath::openFolder(const QString& path)
{
    return walk(path);
}

int SafePath::createFile(const QString& path, mode_t mode, bool replace)
{
    const Parent parent(path);
    if (parent.fd < 0)
        return -1;
    int fd = createIn(parent, mode);
    if (fd < 0 && errno == EEXIST && replace
        && (::unlinkat(parent.fd, parent.leaf.constData(), 0) == 0 || errno == ENOENT))
        fd = createIn(parent, mode);
    return fd;
}

int SafePath::open(const QString& path, int flags)
{
    const Parent parent(path);
    if (parent.fd < 0)
        return -1;
    return ::openat(parent.fd, parent.leaf.constData(), flags | O_NOFOLLOW | O_CLOEXEC, 0);
}

int SafePath::openOwnFile(const QString& path, int flags)
{
    const int fd = open(path, flags | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()
        && st.st_nlink == 1)
        return fd;
    ::close(fd);
    errno = EPERM;
    return -1;
}

int SafePath::openRegular(const QString& path, int flags, struct stat* st)
{
    const int fd = open(path, flags | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat own;
    struct stat* status = st ? st : &own;
    if (::fstat(fd, status) == 0 && S_ISREG(status->st_mode)
        && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
        return fd;
    ::close(fd);
    errno = EINVAL;
    return -1;
}

int SafePath::openRegularBehindLinks(const QString& path, int flags, struct stat* st)
{
    QString name = absolute(path);
    for (int links = 0; links <= kMaxLinks; ++links) {
        const Parent parent(name);
        struct stat link;
        if (parent.fd < 0)
            return -1;
        if (::fstatat(parent.fd, parent.leaf.constData(), &link, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISLNK(link.st_mode))
            return openRegular(name, flags, st);
        if (!mayFollow(parent.fd, link)) {
            refuse(name);
            return -1;
        }
        const QString target = readLink(parent.fd, parent.leaf);
        if (target.isEmpty())
            break;
        name = target.startsWith(QLatin1Char('/'))
            ? target
            : name.section(QLatin1Char('/'), 0, -2) + "/" + target;
    }
    errno = ELOOP;
    return -1;
}

bool SafePath::rename(const QString& from, const QString& to)
{
    const Parent source(from);
    const Parent target(to);
    return source.fd >= 0 && target.fd >= 0
        && ::renameat(source.fd, source.leaf.constData(), target.fd, target.leaf.constData())
        == 0;
}

bool SafePath::link(const QString& from, const QString& to)
{
    const Parent source(from);
    const Parent target(to);
    return source.fd >= 0 && target.fd >= 0
        && ::linkat(source.fd, source.leaf.constData(), target.fd, target.leaf.constData(), 0)
        == 0;
}

bool SafePath::remove(const QString& path)
{
    const Parent parent(path);
    return parent.fd >= 0 && ::unlinkat(parent.fd, parent.leaf.constData(), 0) == 0;
}

bool SafePath::makeFolder(const QString& path, mode_t mode)
{
    const Parent parent(path);
    if (parent.fd < 0 || ::mkdirat(parent.fd, parent.leaf.constData(), mode) != 0)
        return false;
    const int fd = ::openat(parent.fd, parent.leaf.constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        ::fchmod(fd, mode);
        ::close(fd);
    }
    return true;
}

bool SafePath::removeFolder(const QString& path)
{
    const Parent parent(path);
    return parent.fd >= 0 && ::unlinkat(parent.fd, parent.leaf.constData(), AT_REMOVEDIR) == 0;
}

bool SafePath::removeTree(const QString& path)
{
    const Parent parent(path);
    struct stat st;
    if (parent.fd < 0
        || ::fstatat(parent.fd, parent.leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return removeAt(parent.fd, parent.leaf.constData(), st.st_dev, false, 0);
}

bool SafePath::removeContents(const QString& path, bool keepLinks)
{
    const int folder = walk(path);
    struct stat st;
    if (folder < 0)
        return false;
    const bool ok = ::fstat(folder, &st) == 0 && removeEntries(folder, st.st_dev, keepLinks, 0);
    const int error = errno;
    ::close(folder);
    errno = error;
    return ok;
}

bool SafePath::status(const QString& path, struct stat* st, bool followLink)
{
    return statusOf(path, st, followLink, 0);
}

bool SafePath::setMode(const QString& path, mode_t mode)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool ok = ::fchmod(fd, mode) == 0;
    ::close(fd);
    return ok;
}

QString SafePath::takeRefusal()
{
    QString taken;
    taken.swap(refusal);
    return taken;
}
