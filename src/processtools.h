#ifndef PROCESSTOOLS_H
#define PROCESSTOOLS_H

#include <QString>
#include <QStringList>

// The hand-over at the end of a phase: starts the new updater (after phase 1) or the client's run
// script (after phase 2) as a detached process and returns at once. Nothing is reported to the
// user here; failures reach the log, and a program that did not start is told to the caller.
class ProcessTools
{
public:
    // Starts {dir}/vx3client_runscript.sh detached, without arguments, in dir; false, with the
    // reason in `error`, when it was not started.
    static bool startVx3Client(const QString& dir, QString* error = nullptr);
    // Starts {dir}/update detached with args in dir, when that file exists; false, with the
    // reason in `error`, when it was not started.
    static bool startClientUpdater(const QString& dir, const QStringList& args,
                                   QString* error = nullptr);

private:
    // An empty dir would take the program from the file-system root.
    static bool usableDir(const QString& dir);
    static bool startDetached(const QString& path, const QStringList& args, const QString& dir,
                              QString* error = nullptr);
};

#endif // PROCESSTOOLS_H
