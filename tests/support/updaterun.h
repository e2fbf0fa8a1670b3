#ifndef VXTEST_UPDATERUN_H
#define VXTEST_UPDATERUN_H

#include "httpservers.h"

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

namespace vxtest {

// One regular file of a tree: its bytes and its permission bits (st_mode & 07777).
struct TreeFile {
    QByteArray data;
    uint mode = 0;
};
using FileTree = std::map<QString, TreeFile>;

// The regular files below `root` by relative path ("/" separators), hidden ones included.
FileTree readTree(const QString& root);
// The folders below `root` by relative path.
QStringList readFolders(const QString& root);
// Writes every file of `tree` below `root` and gives it its mode. False on the first failure.
bool writeTree(const QString& root, const FileTree& tree);
// Files and folders below `root` that group or others may write to, as "path mode" texts.
QStringList groupOrOtherWritable(const QString& root);
// The folders of the files of `tree`, their parents included.
QStringList foldersOf(const FileTree& tree);

// What differs between `now` and `want` (bytes, modes, missing and extra files); empty when equal.
QStringList treeDifferences(const FileTree& now, const FileTree& want);
// What breaks the state an interrupted update may leave: each file of the old or new tree that
// is installed holds the bytes and mode of its old or of its new version, a file of both trees
// is installed, and "update" is a complete program with its execute bit. Files of neither tree
// (temporary files) are not judged here.
QStringList interruptedStateFaults(const FileTree& now, const FileTree& oldTree,
                                   const FileTree& newTree);

// Each line with `prefix` before it.
QStringList prefixed(const QString& prefix, const QStringList& lines);

// True when /dev/shm is a file system apart from the one of `dir` with `bytes` free: a place for
// a temporary folder that is not on the installation's file system, as where /tmp is a tmpfs.
bool sharedMemoryIsElsewhere(const QString& dir, qint64 bytes);

// Polls `done` every 50 ms without an event loop (usable on any thread) until it holds or
// `timeoutMs` passed. Returns the last value of done.
bool pollUntil(const std::function<bool()>& done, int timeoutMs);

// Processes whose program lies below one of `folders`.
QList<int> processesBelow(const QStringList& folders);
void killProcessesBelow(const QStringList& folders);

// The release of the crash tests, built below `root`: an old installation (release 6) of 22
// files with real executables of the corpus, the new client (release 7: patched, unpacked,
// added (one of 4 MB) and deleted files, "update" among the replaced ones) and the new updater,
// published with the release fixtures tool and served by nginx on 127.0.0.1. Modes of the new
// client tree are those the update must leave: a replaced file keeps its mode without
// set-user-ID, an added one gets 0644, or 0755 for an executable name or a shared-library
// suffix.
class UpdateRelease
{
public:
    static const int kVersion = 7;

    UpdateRelease(const QString& root, const QString& program, const QString& mkrelease);
    ~UpdateRelease();

    // Writes the trees, publishes them and starts nginx. False (see errorText) on failure.
    bool build();
    QString errorText() const { return m_Error; }
    QString baseUrl() const;

    const FileTree& oldClient() const { return m_Old; }
    const FileTree& newClient() const { return m_New; }

private:
    bool publish(const QString& product, const QString& newTree);
    bool fail(const QString& text);

    QString m_Root;
    QString m_Program;
    QString m_Mkrelease;
    FileTree m_Old;
    FileTree m_New;
    FileTree m_Updater;
    std::unique_ptr<NginxServer> m_Nginx;
    QString m_Error;
};

// One installation of the old release updated by the real program, both phases, offscreen:
// below `dir` the installation ("install"), the configuration folder whose update.ini points
// the alpha channel at the release, the home folder and the temporary folder (TMPDIR, "tmp"
// unless another is given), where the work folders and log files go. The run scripts of the
// releases write "client-started" (new) or "old-client-started" (old) beside the installation.
// Blocking calls only: a run can be driven from any thread.
class UpdateRun
{
public:
    enum class End { Finished, Stopped, Failed, Idle, TimedOut };

    UpdateRun(const QString& dir, const UpdateRelease& release, const QString& installDir = {},
              const QString& tmpDir = {});

    // Copies the old release into the installation and prepares the folders.
    bool prepare();

    QString install() const { return m_Install; }
    QString tmp() const { return m_Tmp; }
    QString newMarker() const;
    QString oldMarker() const;
    QString operationLog() const;
    QStringList workFolders() const;

    // The next run's phase 2 is stopped (SIGKILL, or SIGSTOP when `stop`) at its `n`th file
    // operation in the installation by the preloaded shim; 0 counts only.
    void stopPhaseTwoAt(const QString& shim, long n, bool stop = false);
    // Stops (SIGSTOP) phase 2 at its first operation on a path of the installation that
    // contains `text`.
    void stopPhaseTwoAtPath(const QString& shim, const QString& text);
    // The next run goes without the shim; the operations counted so far move to
    // operationLog() + ".before".
    void noShim();

    // Starts the installed updater and waits for phase 1 to end. Returns its exit code, -1 after
    // a crash or time-out, -2 when it cannot start.
    int runPhaseOne();
    // Starts the installed updater and kills it after `ms` milliseconds. False when it ended
    // before (or did not start).
    bool killPhaseOneAfter(int ms);
    // Waits until the update has settled: the client started and every updater ended
    // (Finished), the shim stopped phase 2 (Stopped, the killed process gone), every updater
    // ended without starting the client (Failed), the updaters used no processor time for
    // `idleMs` (Idle: waiting on a message box), or time ran out.
    End waitForEnd(int idleMs = 4000, int timeoutMs = 240000);
    // Number of operations the shim counted, and the pid it stopped (0 when none).
    long operationsCounted() const;
    int stoppedPid() const;

    QStringList processFolders() const;
    QByteArray logText() const;

private:
    QProcessEnvironment environment() const;
    bool startPhaseOne(QProcess& process) const;
    qint64 processorTicks() const;

    QString m_Dir;
    const UpdateRelease& m_Release;
    QString m_Install;
    QString m_Tmp;
    QString m_Shim;
    long m_StopAt = 0;
    QString m_StopPath;
    bool m_Stop = false;
};

} // namespace vxtest

#endif // VXTEST_UPDATERUN_H
