// The real update program, both phases as it runs them, killed with SIGKILL at every file
// operation that phase 2 makes in the installation (its replace and delete steps) by a preloaded
// shim, and at a few moments of phase 1. After each kill every file of the installation is its
// old or its new version, bytes and mode, "update" is a complete program, and nothing the
// updater wrote is writable by group or others; one more run of the installed updater then
// brings the installation to the new release with nothing left over. The kill points run in
// parallel, each in a folder of its own; every other one has its temporary folder on /dev/shm,
// a file system apart from the installation's, as where /tmp is a tmpfs.
#include "testpaths.h"
#include "updatereleasetest.h"
#include "updaterun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>
#include <sys/stat.h>

namespace {

using vxtest::UpdateRun;

// Phase 1 waits 2 s before it starts, then downloads and extracts the new updater in half a
// second or more, and waits 1 s before it starts phase 2.
const int kPhaseOneKillsMs[] = {2150, 2300, 2500, 3000};

struct KillCase {
    long operation = 0; // phase 2's operation to die at, or 0
    int phaseOneMs = 0; // or the time to kill phase 1 at
    bool tmpElsewhere = false;
};

struct Outcome {
    bool killed = false;
    bool consistent = false;
    bool recovered = false;
    int workFoldersLeft = 0;
    QStringList faults;
};

QString describe(const KillCase& kill)
{
    return (kill.operation ? QString("kill at operation %1 of phase 2").arg(kill.operation)
                           : QString("kill of phase 1 after %1 ms").arg(kill.phaseOneMs))
           + (kill.tmpElsewhere ? " (temporary folder on /dev/shm)" : "");
}

QString describe(UpdateRun::End end)
{
    switch (end) {
    case UpdateRun::End::Finished: return "finished";
    case UpdateRun::End::Stopped: return "stopped by the shim";
    case UpdateRun::End::Failed: return "ended without starting the client";
    case UpdateRun::End::Idle: return "waits idle (an error box?)";
    case UpdateRun::End::TimedOut: return "timed out";
    }
    return {};
}

class CrashRecoveryTest : public UpdateReleaseTest
{
protected:
    // The state a kill leaves, with the update's own files judged by what both releases hold.
    static QStringList afterKillFaults(const UpdateRun& run)
    {
        QStringList faults = vxtest::interruptedStateFaults(
            vxtest::readTree(run.install()), release->oldClient(), release->newClient());
        faults += vxtest::prefixed("writable by group or others: ",
                           vxtest::groupOrOtherWritable(run.install())
                               + vxtest::groupOrOtherWritable(run.tmp()));
        return faults;
    }

    static QStringList newReleaseFaults(const UpdateRun& run)
    {
        QStringList faults =
            vxtest::treeDifferences(vxtest::readTree(run.install()), release->newClient());
        const QStringList folders = vxtest::readFolders(run.install());
        if (folders != vxtest::foldersOf(release->newClient()))
            faults << "folders of the installation: " + folders.join(", ");
        if (QFileInfo::exists(run.oldMarker()))
            faults << "the old client's run script was started";
        if (vxtest::readFile(run.newMarker()).trimmed() != run.install())
            faults << "the new client's run script did not run in the installation";
        faults += vxtest::prefixed("writable by group or others: ",
                           vxtest::groupOrOtherWritable(run.install()));
        faults += vxtest::prefixed("left behind: ", vxtest::runtimeFilesOf(run.install()));
        return faults;
    }

    static Outcome runCase(const QString& dir, const KillCase& kill)
    {
        Outcome out;
        std::unique_ptr<QTemporaryDir> shm;
        if (kill.tmpElsewhere) {
            shm = std::make_unique<QTemporaryDir>("/dev/shm/crashrecovery_test-XXXXXX");
            if (!shm->isValid()) {
                out.faults << "cannot make a folder on /dev/shm";
                return out;
            }
        }
        UpdateRun run(dir, *release, QString(), shm ? shm->path() : QString());
        if (!run.prepare()) {
            out.faults << "cannot prepare " + dir;
            return out;
        }
        if (kill.operation) {
            run.stopPhaseTwoAt(VX_KILLSHIM, kill.operation);
            const int code = run.runPhaseOne();
            const UpdateRun::End end = run.waitForEnd();
            out.killed = end == UpdateRun::End::Stopped;
            if (code != 0 || (!out.killed && end != UpdateRun::End::Finished))
                out.faults << QString("the killed run: phase 1 exit code %1, phase 2 %2")
                                  .arg(code)
                                  .arg(describe(end));
        } else {
            out.killed = run.killPhaseOneAfter(kill.phaseOneMs);
        }
        vxtest::killProcessesBelow(run.processFolders());
        const QStringList killFaults = afterKillFaults(run);
        out.consistent = killFaults.isEmpty();
        out.faults += vxtest::prefixed("after the kill: ", killFaults);

        run.noShim();
        QFile::remove(run.newMarker());
        const int code = run.runPhaseOne();
        const UpdateRun::End end = run.waitForEnd();
        QStringList rerunFaults;
        if (code != 0 || end != UpdateRun::End::Finished)
            rerunFaults << QString("phase 1 exit code %1, phase 2 %2").arg(code).arg(describe(end));
        vxtest::killProcessesBelow(run.processFolders());
        rerunFaults += newReleaseFaults(run);
        out.recovered = rerunFaults.isEmpty();
        out.faults += vxtest::prefixed("after one rerun: ", rerunFaults);
        out.workFoldersLeft = run.workFolders().size();
        if (!out.faults.isEmpty())
            out.faults << "operations: "
                              + QString::fromUtf8(vxtest::readFile(run.operationLog() + ".before"))
                                    .replace('\n', "; ")
                       << run.logText();
        return out;
    }

    static int jobs()
    {
        const int wanted = qEnvironmentVariableIntValue("VXTEST_CRASH_JOBS");
        return wanted > 0 ? wanted : 6;
    }

};


TEST_F(CrashRecoveryTest, EveryKillIsRecoveredByOneMoreRun)
{
    // A whole update with the shim counting only: the number of operations to kill at.
    UpdateRun counting(root->filePath("counting"), *release);
    ASSERT_TRUE(counting.prepare());
    counting.stopPhaseTwoAt(VX_KILLSHIM, 0);
    ASSERT_EQ(counting.runPhaseOne(), 0);
    ASSERT_EQ(counting.waitForEnd(), UpdateRun::End::Finished) << counting.logText().constData();
    vxtest::killProcessesBelow(counting.processFolders());
    const QStringList wholeRunFaults = newReleaseFaults(counting);
    ASSERT_TRUE(wholeRunFaults.isEmpty()) << wholeRunFaults.join("\n").toStdString();
    const long operations = counting.operationsCounted();
    ASSERT_GT(operations, 10) << "the shim saw too few operations in the installation";
    std::printf("phase 2 made %ld file operations in the installation:\n%s", operations,
                vxtest::readFile(counting.operationLog()).constData());

    // Room for the work folders of the kill points that run at once.
    const bool shm = vxtest::sharedMemoryIsElsewhere(root->path(), qint64(jobs()) * (128LL << 20));
    if (!shm)
        std::printf("/dev/shm is not a file system of its own here, or it is too small: every "
                    "temporary folder goes beside the installation\n");
    std::vector<KillCase> cases;
    for (long n = 1; n <= operations; ++n)
        cases.push_back({n, 0, shm && n % 2 == 1});
    for (int ms : kPhaseOneKillsMs)
        cases.push_back({0, ms, shm && cases.size() % 2 == 1});
    std::vector<Outcome> outcomes(cases.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (int j = 0; j < jobs(); ++j)
        workers.emplace_back([&] {
            for (size_t i = next++; i < cases.size(); i = next++) {
                const QString dir = root->filePath(QString("case-%1").arg(i));
                outcomes[i] = runCase(dir, cases[i]);
                if (outcomes[i].faults.isEmpty())
                    QDir(dir).removeRecursively();
            }
        });
    for (std::thread& worker : workers)
        worker.join();

    int killedInPhaseTwo = 0, killedInPhaseOne = 0, consistent = 0, recovered = 0;
    int workFolders = 0, tmpElsewhere = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        tmpElsewhere += cases[i].tmpElsewhere;
        (cases[i].operation ? killedInPhaseTwo : killedInPhaseOne) += outcomes[i].killed;
        consistent += outcomes[i].consistent;
        recovered += outcomes[i].recovered;
        workFolders += outcomes[i].workFoldersLeft;
        EXPECT_TRUE(outcomes[i].faults.isEmpty())
            << describe(cases[i]).toStdString() << ":\n"
            << outcomes[i].faults.join("\n").toStdString();
    }
    std::printf("kill points: %ld file operations of phase 2 (killed there: %d) and %zu moments "
                "of phase 1 (killed while running: %d); consistent after the kill: %d, recovered "
                "by one more run: %d, of %zu (%d with the temporary folder on /dev/shm); work "
                "folders left behind: %d\n",
                operations, killedInPhaseTwo, std::size(kPhaseOneKillsMs), killedInPhaseOne,
                consistent, recovered, cases.size(), tmpElsewhere, workFolders);
    EXPECT_GE(killedInPhaseTwo, operations - 2) << "the kill points must be reached";
}

} // namespace
