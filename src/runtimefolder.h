#ifndef RUNTIMEFOLDER_H
#define RUNTIMEFOLDER_H

#include <QString>

// The folder where the updater keeps its single-instance socket and its installation locks:
// one that only the effective user can create things in, so that no other user can take the
// socket's name or a lock first. Static operations only.
class RuntimeFolder
{
public:
    // $XDG_RUNTIME_DIR when it is private to the effective user, else {temp}/vx3update-{euid},
    // made with mode 0700 when missing. Empty when neither can be used; *reason then names the
    // folder and why.
    static QString path(QString* reason = nullptr);

    // True when `dir` is a real directory (not a symbolic link) owned by the effective user and
    // writable by neither group nor others; otherwise false with the reason.
    static bool isPrivate(const QString& dir, QString* reason);
};

#endif // RUNTIMEFOLDER_H
