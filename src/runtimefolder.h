#ifndef RUNTIMEFOLDER_H
#define RUNTIMEFOLDER_H

#include <QString>

// The folders where the updater keeps its single-instance socket and its installation locks:
// ones that only the effective user can create things in, so that no other user can take the
// socket's name or a lock first. Static operations only.
class RuntimeFolder
{
public:
    // For the socket: $XDG_RUNTIME_DIR when it is private to the effective user; else, for root,
    // /run/vx3update (below /run only root can create names), and for other users .vx3update
    // in their home folder (which must be theirs alone); either made with mode 0700 when
    // missing. Empty when none can be used; *reason then names the folder and why.
    static QString path(QString* reason = nullptr);

    // For the installation locks: for root always /run/vx3update, whatever TMPDIR and
    // XDG_RUNTIME_DIR a run has, so that every root run of an installation meets the same lock;
    // path() for other users.
    static QString lockFolder(QString* reason = nullptr);

    // True when `dir` is a real directory (not a symbolic link) owned by the effective user and
    // writable by neither group nor others; otherwise false with the reason.
    static bool isPrivate(const QString& dir, QString* reason);
};

#endif // RUNTIMEFOLDER_H
