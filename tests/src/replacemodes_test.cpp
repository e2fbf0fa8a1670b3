// Modes and rollback of the real update program, both phases, against a release served by nginx:
// with the temporary folder on another file system than the installation (where moving a file
// aside would be a copy) modes are kept after a successful run and after a rolled-back one, a
// rollback on a full file system leaves every file as it was, and nothing the updater writes
// into the installation or its work folder is writable by group or others. The failures are
// forced with mounts the test makes as root: a read-only bind mount (which stops root too) and a
// small tmpfs.
#include "testpaths.h"
#include "updatereleasetest.h"
#include "updaterun.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace {

using vxtest::UpdateRun;

// A mount made by the test, undone when it goes.
class TestMount
{
public:
    ~TestMount()
    {
        if (!m_Path.isEmpty())
            ::umount2(path(), MNT_DETACH);
    }

    // `dir` seen read-only at its own place.
    bool bindReadOnly(const QString& dir)
    {
        const QByteArray target = QFile::encodeName(dir);
        if (::mount(target.constData(), target.constData(), nullptr, MS_BIND, nullptr) != 0)
            return fail(dir);
        m_Path = dir;
        if (::mount(nullptr, target.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                    nullptr) != 0)
            return fail(dir);
        return true;
    }

    bool tmpfs(const QString& dir, int megabytes)
    {
        const QByteArray options = "size=" + QByteArray::number(megabytes) + "m,mode=0755";
        if (!QDir().mkpath(dir)
            || ::mount("tmpfs", QFile::encodeName(dir).constData(), "tmpfs", 0,
                       options.constData()) != 0)
            return fail(dir);
        m_Path = dir;
        return true;
    }

    QString errorText() const { return m_Error; }

private:
    QByteArray path() const { return QFile::encodeName(m_Path); }

    bool fail(const QString& dir)
    {
        m_Error = QString("cannot mount %1: %2").arg(dir, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }

    QString m_Path;
    QString m_Error;
};

// A work folder holds the new updater, the downloads and the patch inputs.
const qint64 kShmBytesNeeded = 256LL << 20;

class ReplaceModesTest : public UpdateReleaseTest
{
protected:
    void SetUp() override
    {
        UpdateReleaseTest::SetUp();
        ASSERT_TRUE(dir.isValid());
    }

    void TearDown() override
    {
        if (run)
            vxtest::killProcessesBelow(run->processFolders());
        if (HasFailure() && run)
            std::printf("%s\n", run->logText().constData());
    }

    // The temporary folder on /dev/shm, a tmpfs apart from the installation's file system.
    bool useSharedMemoryTmp()
    {
        if (!vxtest::sharedMemoryIsElsewhere(dir.path(), kShmBytesNeeded))
            return false;
        shm = std::make_unique<QTemporaryDir>("/dev/shm/replacemodes_test-XXXXXX");
        return shm->isValid();
    }

    // Runs both phases, counting phase 2's operations in the installation; the run is expected
    // to fail in the replace step and to wait on its error box or to end.
    void runFailingUpdate()
    {
        run->stopPhaseTwoAt(VX_KILLSHIM, 0);
        EXPECT_EQ(run->runPhaseOne(), 0);
        const UpdateRun::End end = run->waitForEnd();
        EXPECT_TRUE(end == UpdateRun::End::Idle || end == UpdateRun::End::Failed)
            << "the run must fail and not start the client";
        vxtest::killProcessesBelow(run->processFolders());
        for (const QString& file : vxtest::runtimeFilesOf(run->install()))
            QFile::remove(file);
        EXPECT_GE(run->operationsCounted(), 5)
            << "files must have been replaced before the failure, so that undo has work";
    }

    void expectOldReleaseIntact()
    {
        const QStringList faults =
            vxtest::treeDifferences(vxtest::readTree(run->install()), release->oldClient());
        EXPECT_TRUE(faults.isEmpty()) << faults.join("\n").toStdString();
        EXPECT_FALSE(QFileInfo::exists(run->newMarker()));
    }

    QTemporaryDir dir;
    std::unique_ptr<QTemporaryDir> shm;
    std::unique_ptr<UpdateRun> run;
};


// Stopped at its first deletion, phase 2 has downloaded, patched and installed every file: the
// work folders of both phases, the logs and the installation are walked then, and the
// installation again after the end.
TEST_F(ReplaceModesTest, TmpOnAnotherFileSystemKeepsModesAndNothingIsGroupOrOtherWritable)
{
    if (!useSharedMemoryTmp())
        GTEST_SKIP() << "/dev/shm is not a file system of its own here, or it is too small";
    run = std::make_unique<UpdateRun>(dir.path(), *release, QString(), shm->path());
    ASSERT_TRUE(run->prepare());
    run->stopPhaseTwoAtPath(VX_KILLSHIM, "gone.txt");
    ASSERT_EQ(run->runPhaseOne(), 0);
    ASSERT_EQ(run->waitForEnd(), UpdateRun::End::Stopped) << "phase 2 reaches its delete step";
    const int phaseTwo = run->stoppedPid();
    EXPECT_FALSE(run->workFolders().isEmpty());
    const QStringList writable = vxtest::groupOrOtherWritable(run->tmp())
                                 + vxtest::groupOrOtherWritable(run->install());
    EXPECT_TRUE(writable.isEmpty()) << "writable by group or others during the run:\n"
                                    << writable.join("\n").toStdString();

    run->noShim();
    ASSERT_EQ(::kill(phaseTwo, SIGCONT), 0);
    ASSERT_EQ(run->waitForEnd(), UpdateRun::End::Finished);
    const QStringList faults =
        vxtest::treeDifferences(vxtest::readTree(run->install()), release->newClient())
        + vxtest::prefixed("writable by group or others: ",
                           vxtest::groupOrOtherWritable(run->install()));
    EXPECT_TRUE(faults.isEmpty()) << faults.join("\n").toStdString();
}

// tools/helper.sh comes after several replaced files; its folder cannot be written to, so the
// replace step fails there and undoes the files it had replaced, across the file systems.
TEST_F(ReplaceModesTest, TmpOnAnotherFileSystemRollbackKeepsBytesAndModes)
{
    if (!useSharedMemoryTmp())
        GTEST_SKIP() << "/dev/shm is not a file system of its own here, or it is too small";
    run = std::make_unique<UpdateRun>(dir.path(), *release, QString(), shm->path());
    ASSERT_TRUE(run->prepare());
    TestMount readOnly;
    if (!readOnly.bindReadOnly(run->install() + "/tools"))
        GTEST_SKIP() << "mounting is not permitted here: " << readOnly.errorText().toStdString();
    runFailingUpdate();
    expectOldReleaseIntact();
}

// The installation on a small tmpfs with room for the small files but not for the 4 MB added
// one (nor for a second "update"): the replace step fails on the full file system and its undo
// must not need room.
TEST_F(ReplaceModesTest, RollbackOnAFullFileSystemLeavesEveryFileIntact)
{
    const QString fs = dir.filePath("fs");
    TestMount small;
    if (!small.tmpfs(fs, 48))
        GTEST_SKIP() << "mounting is not permitted here: " << small.errorText().toStdString();
    run = std::make_unique<UpdateRun>(dir.path(), *release, fs + "/install");
    ASSERT_TRUE(run->prepare());
    struct statvfs space;
    ASSERT_EQ(::statvfs(QFile::encodeName(fs).constData(), &space), 0);
    const qint64 freeBytes = qint64(space.f_bavail) * qint64(space.f_frsize);
    const qint64 keepFree = 2 * 1024 * 1024;
    ASSERT_GT(freeBytes, keepFree);
    ASSERT_TRUE(vxtest::writeFile(fs + "/filler", QByteArray(int(freeBytes - keepFree), 'f')));
    ASSERT_LT(keepFree, release->newClient().at("sounds/extra/music.dat").data.size());
    runFailingUpdate();
    expectOldReleaseIntact();
}

} // namespace
