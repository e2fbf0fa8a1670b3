#ifndef WORKFOLDERLOCK_H
#define WORKFOLDERLOCK_H

#include <QString>

// A lock on a work folder (flock on the folder itself), held while the object lives. A running
// update holds a shared one on its work folder, so that another run's removal of stale work
// folders, which needs an exclusive one, passes it by. The lock goes with the process.
class WorkFolderLock
{
public:
    enum Kind { Shared, Exclusive };

    // Never waits: isHeld() tells whether the lock was got.
    WorkFolderLock(const QString& path, Kind kind);
    ~WorkFolderLock();
    WorkFolderLock(const WorkFolderLock&) = delete;
    WorkFolderLock& operator=(const WorkFolderLock&) = delete;

    bool isHeld() const { return fd >= 0; }
    const QString& path() const { return folder; }

private:
    QString folder;
    int fd = -1;
};

#endif // WORKFOLDERLOCK_H
