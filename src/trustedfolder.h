#ifndef TRUSTEDFOLDER_H
#define TRUSTEDFOLDER_H

#include <QString>

#include <sys/stat.h>

// Whether a folder in the shared temp folder may be trusted by this process. Other users can
// create names there before us, so a folder is used, emptied or removed only when nobody but
// the effective user can have put anything into it.
class TrustedFolder
{
public:
    // A real directory (not a symbolic link), owned by the effective user, that no other user
    // can write to: not writable by others, and writable by its group only when that group has
    // no member but the owner and the folder has no access ACL. On false, `reason` (when given)
    // says why, without the path.
    static bool isPrivate(const QString& path, QString* reason = nullptr);
    // The stricter test on the status of a folder already opened or looked up with lstat:
    // writable by neither group nor others.
    static bool isPrivate(const struct stat& status, QString* reason = nullptr);
    // Whether nobody but the owner of the folder `fd` (any descriptor, O_PATH will do) with the
    // status `status` can write to it: not writable by others, and writable by its group only
    // when that group has no member but the owner and the folder has no access ACL.
    static bool onlyOwnerWrites(int fd, const struct stat& status, QString* reason = nullptr);

    // A private folder with a work folder's name (isWorkFolderName) directly under the temp folder,
    // which itself only its owner (the effective user or root) can rename entries of: the only
    // kind of folder an update session works in, resumes, empties or removes.
    static bool isWorkFolder(const QString& path, QString* reason = nullptr);

    // A temp folder in which a private folder stays private: owned by the effective user or
    // root, and sticky when others may write to it.
    static bool isSafeTempFolder(const QString& path, QString* reason = nullptr);

    // A work folder (isWorkFolder) that this updater made, so that it may be removed without a
    // session record naming it: a numbered name, or a name from workFolderTemplate() holding the
    // marker of markWorkFolder. A folder a user made by hand under such a name never qualifies.
    static bool isOwnWorkFolder(const QString& path);
    // Leaves the marker in a folder that mkdtemp just made from workFolderTemplate(); false
    // when it cannot be written.
    static bool markWorkFolder(const QString& path);

    // "voxmere_temp_<n>" with n from 0 to 999 in plain decimal, or a name made from
    // workFolderTemplate() (its six X replaced by letters or digits).
    static bool isWorkFolderName(const QString& name);
    static QString workFolderName(int number);
    // The mkdtemp template of a work folder, for when every numbered name is taken.
    static QString workFolderTemplate();
};

#endif // TRUSTEDFOLDER_H
