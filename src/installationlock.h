#ifndef INSTALLATIONLOCK_H
#define INSTALLATIONLOCK_H

#include <QString>

// One updater at a time per installation, whatever its program path, phase or environment: an
// exclusive lock (flock) on a file of the private lock folder (RuntimeFolder::lockFolder) named
// after the installation directory.
// Held by the process from the start of a run until it ends; phase 1 lets go of it just before
// it starts phase 2. The file exists only while a run holds it: the holder removes it before it
// lets go, and a run that locked a file whose name was removed meanwhile tries again. The
// descriptor is not inherited by started programs. Static operations only; GUI thread.
class InstallationLock
{
public:
    enum Result {
        Acquired,
        HeldByOther,
        Failed
    };

    // Takes the lock of `installDir` without waiting. Failed carries the reason in *error.
    static Result acquire(const QString& installDir, QString* error);
    // Removes the lock file and lets go of the lock, if held; also done at exit.
    static void release();
    // The installation of the last acquire() until release(); empty without one.
    static QString installation();

    // A digest of the canonical path of `installDir`, for the names of its lock and socket.
    static QString key(const QString& installDir);

    // The lock file of `installDir` in `folder`.
    static QString lockFilePath(const QString& folder, const QString& installDir);
};

#endif // INSTALLATIONLOCK_H
