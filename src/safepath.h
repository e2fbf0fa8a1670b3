#ifndef SAFEPATH_H
#define SAFEPATH_H

#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

// File-system calls on absolute paths in folders that other users may write to (a shared temp
// folder, an installation folder that is not private). A path is walked from "/" one folder at
// a time, each opened with O_NOFOLLOW, and the last name is used relative to the descriptor of
// its folder, so a link that appears after a path was checked is never followed: a link on the
// way is followed only when nobody but the effective user or root could have put it there (it
// is theirs, in a folder that only they can change or a sticky one of theirs); otherwise the call
// fails with ELOOP and takeRefusal() names the link. The last name itself is never followed.
// Every file the updater creates in the installation or a shared folder is made by createFile.
// Stateless apart from the refusal text (per thread); any thread.
class SafePath
{
public:
    // Descriptor (O_PATH) of the folder `path`, or -1 with errno set.
    static int openFolder(const QString& path);
    // Creates the new file `path` with O_CREAT|O_EXCL|O_NOFOLLOW and mode `mode`, write-only;
    // with `replace` a name already there (whatever it is, but a folder) is removed first.
    // Returns the descriptor or -1 with errno set.
    static int createFile(const QString& path, mode_t mode, bool replace = false);
    // Opens the existing file `path` with `flags` (never following a link, never blocking on a
    // fifo); only a regular file of the effective user with one link is returned. -1 otherwise,
    // with errno set (EPERM for a file that is not such a file).
    static int openOwnFile(const QString& path, int flags);
    // Opens the existing regular file `path` with `flags` (O_RDONLY by default), never following
    // a link at the last name and never blocking on a fifo or device; whatever else is found
    // there fails with EINVAL. `st` (when given) receives the opened file's status.
    static int openRegular(const QString& path, int flags = O_RDONLY, struct stat* st = nullptr);
    // As openRegular, but a link at the last name is followed where a link on the way would be.
    static int openRegularBehindLinks(const QString& path, int flags = O_RDONLY,
                                      struct stat* st = nullptr);
    // Opens `path` with `flags` plus O_NOFOLLOW, whatever it is; -1 with errno set.
    static int open(const QString& path, int flags);

    // renameat(2), replacing an existing `to` in one step.
    static bool rename(const QString& from, const QString& to);
    // linkat(2) without following a link at `from`.
    static bool link(const QString& from, const QString& to);
    // unlinkat(2): a link is removed as the link it is.
    static bool remove(const QString& path);
    // mkdirat(2), then the mode set on the new folder whatever the umask.
    static bool makeFolder(const QString& path, mode_t mode);
    // unlinkat(2) with AT_REMOVEDIR.
    static bool removeFolder(const QString& path);
    // Removes `path` and, when it is a folder, everything in it, by descriptor: a link is removed
    // as the link it is, no folder on another file system is entered, and a folder that is
    // swapped while the walk reaches it fails as an entry that stays, never followed. The walk
    // goes on past an entry that stays; false (errno set) when anything stays.
    static bool removeTree(const QString& path);
    // Removes what the folder `path` holds as removeTree does, the folder itself kept; with
    // `keepLinks` links stay (and so the folders holding them).
    static bool removeContents(const QString& path, bool keepLinks);
    // The status of `path`; with `followLink` a link at the last name is followed only when it
    // may be followed on the way (see above).
    static bool status(const QString& path, struct stat* st, bool followLink);
    // Sets the mode of the file at `path`, never through a link.
    static bool setMode(const QString& path, mode_t mode);

    // The text naming the link that a call of this thread last refused to follow, or empty;
    // forgotten once taken.
    static QString takeRefusal();
};

#endif // SAFEPATH_H
