#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

#include <QString>
#include <QStringList>

// The hand-over at the end of a phase: starts the new updater (after phase 1) or the client's run
// script (after phase 2) as a detached process and returns at once; the caller then closes the
// updater whatever happened. Nothing is reported to the user; failures only reach the log.
class ProcessTools
{
public:
    // Starts {dir}/vx3client_runscript.sh detached, without arguments, in dir.
    static void startVx3Client(const QString& dir);
    // Starts {dir}/update detached with args in dir, when that file exists.
    static void startClientUpdater(const QString& dir, const QStringList& args);

private:
    // An empty dir would take the program from the file-system root.
    static bool usableDir(const QString& dir);
    static void startDetached(const QString& path, const QStringList& args, const QString& dir);
};

#endif // PROCESSTOOLS_H
