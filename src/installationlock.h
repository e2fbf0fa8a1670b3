#ifndef INSTALLATIONLOCK_H
#define INSTALLATIONLOCK_H

#include <QString>

// One updater at a time per installation, whatever its program path, phase or environment: an
// exclusive lock (flock) on a file of the private lock folder (RuntimeFolder::lockFolder) named
// after the installation directory.
// Held by the process from the start of a run until it ends; phase 1 lets go of it just before
// it starts phase 2. The descriptor is not inherited by started programs. Static operations
// only; GUI thread.
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
    // Lets go of the lock, if held.
    static void release();

    // The lock file of `installDir` in `folder`.
    static QString lockFilePath(const QString& folder, const QString& installDir);
};

#endif // INSTALLATIONLOCK_H
