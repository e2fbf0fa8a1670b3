#include "filereplacelisttaskspecification.h"

#include "dircreatetaskspecification.h"
#include "filefuncpatch.h"
#include "fileinstalltaskspecification.h"
#include "filereplacetaskspecification.h"
#include "fileunpackfunc_lzma2.h"
#include "fileunpackfunc_zip.h"
#include "otheruser.h"
#include "replacetestutil.h"
#include "rollbackdatalist.h"
#include "stagedfile.h"
#include "testtasks.h"

#include <QFile>
#include <QThreadPool>

#include <atomic>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <set>
#include <thread>

using vxtest::EventLog;
using vxtest::ReplaceTree;

namespace {

// The pool threads that ran digest checks hold the crypto library's per-thread state. Joined
// before the program ends, they free it while the library is still up, instead of racing its
// clean-up at exit.
class JoinPoolThreads : public ::testing::Environment
{
public:
    void TearDown() override { QThreadPool::globalInstance()->waitForDone(); }
};
::testing::Environment* const joinPoolThreads =
    ::testing::AddGlobalTestEnvironment(new JoinPoolThreads);

// A whole published file installed under its own name.
UpdateFileEntry copyEntry(const QString& name)
{
    return UpdateFileEntry("files", name, QString(), 0, QString());
}

// rwxr-xr-x: what programs and libraries get, never writable by group or others.
const QFileDevice::Permissions kExecutable(0x7755);
const QFileDevice::Permissions kPlain(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ReadUser | QFileDevice::WriteUser |
                                      QFileDevice::ReadGroup | QFileDevice::ReadOther);

} // namespace

TEST(FileReplaceListTaskSpecification, EmptyListFinishesAtOnce)
{
    ReplaceTree tree;
    QList<UpdateFileEntry> list;
    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 0.4);
    EventLog log(&task);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.4);
    EXPECT_EQ(log.lines, QStringList({"message:Starting file updates", "finished"}));
}

TEST(FileReplaceListTaskSpecification, CopiesNewFilesAfterCreatingTheirDirectories)
{
    ReplaceTree tree;
    tree.put(tree.installFile("keep.txt"), "kept");
    const QStringList names{"a/b/one.txt", "a/b/two.txt", "top.txt", "update", "lib/libfoo.so.5"};
    for (const QString& name : names)
        tree.put(tree.workFile(name), "content of " + name.toUtf8());
    QList<UpdateFileEntry> list;
    for (const QString& name : names)
        list << copyEntry(name);

    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED) << log.lines.join("\n").toStdString();
    EXPECT_DOUBLE_EQ(task.getProgress(), 1.0);

    for (const QString& name : names) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_EQ(vxtest::readFile(tree.installFile(name)), "content of " + name.toUtf8());
    }
    EXPECT_EQ(vxtest::readFile(tree.installFile("keep.txt")), QByteArray("kept"));
    EXPECT_EQ(QFile::permissions(tree.installFile("update")), kExecutable);
    EXPECT_EQ(QFile::permissions(tree.installFile("lib/libfoo.so.5")), kExecutable);
    EXPECT_NE(QFile::permissions(tree.installFile("top.txt")) & QFileDevice::ExeOwner,
              QFileDevice::ExeOwner);

    // One directory task per missing folder (a/b also makes a), sharing a tenth.
    int dirTasks = 0;
    for (TaskSpecification* sub : task.getTasks()) {
        if (qobject_cast<DirCreateTaskSpecification*>(sub)) {
            ++dirTasks;
            EXPECT_DOUBLE_EQ(sub->getWeight(), 0.05);
        } else {
            EXPECT_DOUBLE_EQ(sub->getWeight(), 0.9 / 5);
        }
    }
    EXPECT_EQ(dirTasks, 2);
    EXPECT_EQ(log.lines.first(), "message:Starting file updates");
    EXPECT_TRUE(log.lines.contains("message:add/replace a/b/one.txt"));
    EXPECT_FALSE(log.lines.contains("message:rolling back file updates"));
}

TEST(FileReplaceListTaskSpecification, PresentDirectoriesNeedNoDirectoryTask)
{
    ReplaceTree tree;
    tree.put(tree.workFile("x.txt"), "x");
    tree.put(tree.workFile("y.txt"), "y");
    QList<UpdateFileEntry> list{copyEntry("x.txt"), copyEntry("y.txt")};
    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    ASSERT_TRUE(vxtest::runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    ASSERT_EQ(task.getTasks().size(), 2);
    for (TaskSpecification* sub : task.getTasks())
        EXPECT_DOUBLE_EQ(sub->getWeight(), 0.5);
}

TEST(FileReplaceTaskSpecification, ExecutableFlagGoesToKnownProgramsAndLibrariesOnly)
{
    QTemporaryDir tmp;
    struct Case {
        const char* name;
        bool executable;
    };
    const Case cases[] = {
        {"vx3client_linux_x86", true}, {"vx3client_linux_amd64", true},
        {"vx3client_runscript.sh", true}, {"update", true}, {"error_report", true},
        {"package_inst", true}, {"QtWebEngineProcess", true}, {"libfoo.so", true},
        {"libfoo.so.0", true}, {"libfoo.so.1", true}, {"libfoo.so.4", true},
        {"libfoo.so.5", true}, {"libfoo.so.5.6", false}, {"libfoo.so.2", false},
        {"libfoo.SO", false}, {"Update", false}, {"update.txt", false}, {"notes.txt", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = tmp.filePath(c.name);
        ASSERT_TRUE(vxtest::writeFile(path, "x"));
        ASSERT_TRUE(QFile::setPermissions(path, kPlain));
        FileReplaceTaskSpecification::makeSingleFileExecutable(path);
        EXPECT_EQ(QFile::permissions(path), c.executable ? kExecutable : kPlain);
    }
    // A missing file is no error.
    FileReplaceTaskSpecification::makeSingleFileExecutable(tmp.filePath("sub/update"));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("sub/update")));
}

// Whatever step fails, and wherever it stands in the list, the installation ends as it was.
TEST(FileReplaceListTaskSpecification, FailedListLeavesTheInstallationAsItWas)
{
    struct Case {
        const char* name;
        QStringList order;     // entries, by key
        QString failingText;   // the reason reported, with {work} and {install} for the folders
    };
    const QString copyFailed = "Could not copy '{work}/existing.txt' to '{install}/existing.txt'";
    const Case cases[] = {
        {"existing file last", {"new/dir/x.txt", "y.txt", "lib/z.so", "existing.txt"}, copyFailed},
        {"existing file first", {"existing.txt", "new/dir/x.txt", "y.txt"}, copyFailed},
        {"existing file between", {"new/dir/x.txt", "existing.txt", "new/w.txt", "y.txt"}, copyFailed},
        {"download missing", {"new/dir/x.txt", "y.txt", "gone/missing.txt"},
         "Could not copy '{work}/gone/missing.txt' to '{install}/gone/missing.txt'"},
        {"directory blocked by a file", {"new/dir/x.txt", "blocked/sub/b.txt", "y.txt"},
         "unable to create dir {install}/blocked/sub"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReplaceTree tree;
        tree.put(tree.installFile("existing.txt"), "installed");
        tree.put(tree.installFile("lib/keep.so"), "library");
        tree.put(tree.installFile("blocked"), "a file, not a folder");
        for (const QString& name : c.order) {
            if (!name.startsWith("gone/"))
                tree.put(tree.workFile(name), "new " + name.toUtf8());
        }
        QList<UpdateFileEntry> list;
        for (const QString& name : c.order)
            list << copyEntry(name);
        const auto before = vxtest::snapshot(tree.install());

        FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
        EventLog log(&task);
        ASSERT_TRUE(vxtest::runToEnd(task));
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(vxtest::snapshot(tree.install()), before);
        QString reason = c.failingText;
        reason.replace("{work}", tree.work()).replace("{install}", tree.install());
        EXPECT_TRUE(log.lines.contains("message:" + reason))
            << log.lines.join("\n").toStdString();
        ASSERT_EQ(log.lines.mid(log.lines.size() - 2),
                  QStringList({"message:rolling back file updates", "canceled"}));
        // Nothing the undo could not take back.
        for (const QString& line : log.lines)
            EXPECT_FALSE(line.contains("warning: rollback")) << line.toStdString();
    }
}

TEST(FileReplaceListTaskSpecification, RunsAtMostTwoFilesAtOnce)
{
    ReplaceTree tree;
    QList<UpdateFileEntry> list;
    for (int i = 0; i < 7; ++i) {
        const QString name = QString("f%1.bin").arg(i);
        tree.put(tree.workFile(name), QByteArray(50000 + i, char('a' + i)));
        list << copyEntry(name);
    }
    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    int most = 0;
    int starts = 0;
    QObject::connect(&task, &TaskSpecification::message, [&](const QString& text) {
        if (!text.startsWith("add/replace"))
            return;
        ++starts;
        int running = 0;
        for (TaskSpecification* sub : task.getTasks())
            running += sub->getState() == TaskSpecification::TASK_RUNNING ? 1 : 0;
        // The task that announces itself is not running yet.
        most = std::max(most, running + 1);
    });
    ASSERT_TRUE(vxtest::runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(starts, 7);
    EXPECT_EQ(most, 2);
}

namespace {

// A published file installed under `target` from the package `key` in the work directory.
UpdateFileEntry packedEntry(const QString& key, const QString& target, const QByteArray& content)
{
    return UpdateFileEntry("files", key, vxtest::sha512Hex(content), quint64(content.size()), target);
}

const QFileDevice::Permissions kOwnerOnly(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                          QFileDevice::ReadUser | QFileDevice::WriteUser);

} // namespace

TEST(FileReplaceListTaskSpecification, GunzipsPackagesOverInstalledFiles)
{
    ReplaceTree tree;
    const QByteArray newUpdater(200000, '\x7f');
    const QByteArray newReadme("the new readme\n");
    const QByteArray newThing("a file that was not there");
    tree.put(tree.installFile("bin/update"), "old updater");
    tree.put(tree.installFile("data/readme.txt"), "old readme");
    ASSERT_TRUE(QFile::setPermissions(tree.installFile("data/readme.txt"), kOwnerOnly));
    tree.put(tree.workFile("update.gz"), vxtest::gzipped(newUpdater));
    tree.put(tree.workFile("docs/readme.gz"), vxtest::gzipped(newReadme));
    tree.put(tree.workFile("thing.gz"), vxtest::gzipped(newThing));
    QList<UpdateFileEntry> list{packedEntry("update.gz", "bin/update", newUpdater),
                                packedEntry("docs/readme.gz", "data/readme.txt", newReadme),
                                packedEntry("thing.gz", "new/deeper/thing.dat", newThing)};

    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED) << log.lines.join("\n").toStdString();
    EXPECT_DOUBLE_EQ(task.getProgress(), 1.0);
    EXPECT_EQ(vxtest::readFile(tree.installFile("bin/update")), newUpdater);
    EXPECT_EQ(vxtest::readFile(tree.installFile("data/readme.txt")), newReadme);
    EXPECT_EQ(vxtest::readFile(tree.installFile("new/deeper/thing.dat")), newThing);
    EXPECT_EQ(QFile::permissions(tree.installFile("bin/update")), kExecutable);
    // A replaced file keeps the mode it had.
    EXPECT_EQ(QFile::permissions(tree.installFile("data/readme.txt")), kOwnerOnly);
}

// A failing package, digest or later step takes back every file written before it: replaced
// installed files come back with their content and mode, new files and folders go.
TEST(FileReplaceListTaskSpecification, FailedPackagesRestoreTheReplacedFiles)
{
    const QByteArray newUpdater(100000, 'u');
    const QByteArray newReadme("the new readme\n");
    const QByteArray gzReadme = vxtest::gzipped(newReadme);
    struct Case {
        const char* name;
        QByteArray package;  // docs/readme.gz in the work directory; empty: not downloaded
        QByteArray digestOf; // content whose digest the entry lists
        QString reason;
    };
    const Case cases[] = {
        {"digest mismatch", gzReadme, "something else",
         "Signature check failed for {install}/data/readme.txt"},
        {"truncated package", gzReadme.left(gzReadme.size() - 9), newReadme,
         "Could not unzip '{work}/docs/readme.gz' to '{install}/data/readme.txt'"},
        {"package missing", QByteArray(), newReadme,
         "Could not unzip '{work}/docs/readme.gz' to '{install}/data/readme.txt'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReplaceTree tree;
        tree.put(tree.installFile("bin/update"), "old updater");
        tree.put(tree.installFile("data/readme.txt"), "old readme");
        ASSERT_TRUE(QFile::setPermissions(tree.installFile("data/readme.txt"), kOwnerOnly));
        tree.put(tree.workFile("update.gz"), vxtest::gzipped(newUpdater));
        tree.put(tree.workFile("fresh/plain.txt"), "copied whole");
        if (!c.package.isEmpty())
            tree.put(tree.workFile("docs/readme.gz"), c.package);
        UpdateFileEntry readme = packedEntry("docs/readme.gz", "data/readme.txt", c.digestOf);
        QList<UpdateFileEntry> list{packedEntry("update.gz", "bin/update", newUpdater),
                                    copyEntry("fresh/plain.txt"), readme};
        const auto before = vxtest::snapshot(tree.install());

        FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
        EventLog log(&task);
        ASSERT_TRUE(vxtest::runToEnd(task));
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(vxtest::snapshot(tree.install()), before);
        QString reason = c.reason;
        reason.replace("{work}", tree.work()).replace("{install}", tree.install());
        EXPECT_TRUE(log.lines.contains("message:" + reason)) << log.lines.join("\n").toStdString();
        EXPECT_EQ(log.lines.mid(log.lines.size() - 2),
                  QStringList({"message:rolling back file updates", "canceled"}));
        for (const QString& line : log.lines)
            EXPECT_FALSE(line.contains("warning: rollback")) << line.toStdString();
    }
}

namespace {

UpdateFileEntry patchedEntry(const QString& target, const QByteArray& content)
{
    return UpdateFileEntry("files", target + "._lzma2_", vxtest::sha512Hex(content),
                           quint64(content.size()), target, target + "_patch_");
}

} // namespace

TEST(FileReplaceListTaskSpecification, RebuildsInstalledFilesFromPatches)
{
    const vxtest::PatchPair& lib = vxtest::patchPair();
    ASSERT_FALSE(lib.oldData.isEmpty());
    ASSERT_FALSE(lib.patch.isEmpty());
    ReplaceTree tree;
    tree.put(tree.installFile("lib/libssl.so"), lib.oldData);
    tree.put(tree.workFile("lib/libssl.so_patch_"), lib.patch);
    QList<UpdateFileEntry> list{patchedEntry("lib/libssl.so", lib.newData)};

    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED) << log.lines.join("\n").toStdString();
    EXPECT_TRUE(vxtest::readFile(tree.installFile("lib/libssl.so")) == lib.newData);
    EXPECT_EQ(QFile::permissions(tree.installFile("lib/libssl.so")), kExecutable);
    EXPECT_TRUE(log.lines.contains("message:Patching lib/libssl.so"));
    // The patch's input stays in the work directory.
    EXPECT_TRUE(vxtest::readFile(tree.workFile("lib/libssl.so_old")) == lib.oldData);
}

TEST(FileReplaceListTaskSpecification, FailedPatchRestoresTheInstalledFile)
{
    const vxtest::PatchPair& lib = vxtest::patchPair();
    ASSERT_FALSE(lib.oldData.isEmpty());
    ASSERT_FALSE(lib.patch.isEmpty());
    QByteArray badMagic = lib.patch;
    badMagic[0] = char(badMagic[0] ^ 0x55);
    QByteArray edited = lib.oldData;
    edited[edited.size() / 2] = char(edited[edited.size() / 2] ^ 1);
    struct Case {
        const char* name;
        QByteArray installed;
        QByteArray patch;
        QString reason;
    };
    const QString patchFailed = "Could not patch '{work}/lib/libssl.so_old' to '{install}/lib/libssl.so'";
    const Case cases[] = {
        {"not a patch", lib.oldData, badMagic, patchFailed},
        {"truncated patch", lib.oldData, lib.patch.left(lib.patch.size() / 2), patchFailed},
        {"installed file differs from the patch's source", edited, lib.patch, patchFailed},
        {"patch not downloaded", lib.oldData, QByteArray(), patchFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReplaceTree tree;
        tree.put(tree.installFile("lib/libssl.so"), c.installed);
        tree.put(tree.workFile("new.gz"), vxtest::gzipped("new"));
        if (!c.patch.isEmpty())
            tree.put(tree.workFile("lib/libssl.so_patch_"), c.patch);
        QList<UpdateFileEntry> list{packedEntry("new.gz", "plugins/new.txt", "new"),
                                    patchedEntry("lib/libssl.so", lib.newData)};
        const auto before = vxtest::snapshot(tree.install());

        FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
        EventLog log(&task);
        ASSERT_TRUE(vxtest::runToEnd(task));
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_TRUE(vxtest::snapshot(tree.install()) == before);
        QString reason = c.reason;
        reason.replace("{work}", tree.work()).replace("{install}", tree.install());
        EXPECT_TRUE(log.lines.contains("message:" + reason)) << log.lines.join("\n").toStdString();
        EXPECT_EQ(log.lines.mid(log.lines.size() - 2),
                  QStringList({"message:rolling back file updates", "canceled"}));
    }
}

TEST(FileReplaceListTaskSpecification, UnpacksContainersOverInstalledFiles)
{
    const QByteArray program =
        vxtest::readFile(vxtest::corpusDir() + "/elf32-x86/gcc-386-freebsd-exec");
    ASSERT_FALSE(program.isEmpty());
    const QByteArray& strings = vxtest::packedText().content;
    ReplaceTree tree;
    tree.put(tree.installFile("vx3client_linux_x86"), "old client");
    tree.put(tree.workFile("bin/vx3client_linux_x86._lzma2_"), vxtest::lzmaPacked(program, true));
    tree.put(tree.workFile("share/strings.dat._lzma2_"), vxtest::packedText().packed);
    QList<UpdateFileEntry> list{
        packedEntry("bin/vx3client_linux_x86._lzma2_", "vx3client_linux_x86", program),
        packedEntry("share/strings.dat._lzma2_", "share/lang/strings.dat", strings)};

    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED) << log.lines.join("\n").toStdString();
    EXPECT_TRUE(vxtest::readFile(tree.installFile("vx3client_linux_x86")) == program);
    EXPECT_EQ(QFile::permissions(tree.installFile("vx3client_linux_x86")), kExecutable);
    EXPECT_TRUE(vxtest::readFile(tree.installFile("share/lang/strings.dat")) == strings);
}

TEST(FileReplaceListTaskSpecification, FailedUnpackRestoresTheInstalledFile)
{
    const QByteArray& content = vxtest::packedText().content;
    const QByteArray& packed = vxtest::packedText().packed;
    ASSERT_FALSE(packed.isEmpty());
    QByteArray corrupt = packed;
    corrupt[corrupt.size() - 20] = char(corrupt[corrupt.size() - 20] ^ 0x40);
    struct Case {
        const char* name;
        QByteArray package;
    };
    // The key's last suffix alone picks the unpacker: a gzip package is no container.
    const Case cases[] = {
        {"corrupted container", corrupt},
        {"truncated container", packed.left(packed.size() / 2)},
        {"gzip package under a container's name", vxtest::gzipped(content)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReplaceTree tree;
        tree.put(tree.installFile("lib/libcore.so"), "installed library");
        tree.put(tree.workFile("libcore.so._lzma2_"), c.package);
        tree.put(tree.workFile("other.gz"), vxtest::gzipped("other"));
        QList<UpdateFileEntry> list{packedEntry("other.gz", "lib/other.so", "other"),
                                    packedEntry("libcore.so._lzma2_", "lib/libcore.so", content)};
        const auto before = vxtest::snapshot(tree.install());

        FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
        EventLog log(&task);
        ASSERT_TRUE(vxtest::runToEnd(task));
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_TRUE(vxtest::snapshot(tree.install()) == before);
        EXPECT_TRUE(log.lines.contains("message:Could not unpack '" + tree.workFile("libcore.so._lzma2_") +
                                       "' to '" + tree.installFile("lib/libcore.so") + "'"))
            << log.lines.join("\n").toStdString();
        EXPECT_EQ(log.lines.mid(log.lines.size() - 2),
                  QStringList({"message:rolling back file updates", "canceled"}));
    }
}

TEST(FileReplaceListTaskSpecification, CancelRollsBackWhatWasDone)
{
    ReplaceTree tree;
    tree.put(tree.installFile("keep.txt"), "kept");
    QList<UpdateFileEntry> list;
    for (const QString name : {"new/a.txt", "new/b.txt", "c.txt", "d.txt"}) {
        tree.put(tree.workFile(name), name.toUtf8());
        list << copyEntry(name);
    }
    const auto before = vxtest::snapshot(tree.install());
    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    QSignalSpy ended(&task, &TaskSpecification::canceled);
    // The third file starts once one of the first two is in; the fourth is still waiting then.
    QObject::connect(&task, &TaskSpecification::message, [&](const QString& text) {
        if (text == "add/replace c.txt")
            task.cancel();
    });
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(ended));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_CANCELED);
    EXPECT_TRUE(vxtest::snapshot(tree.install()) == before);
    EXPECT_EQ(log.lines.mid(log.lines.size() - 2),
              QStringList({"message:rolling back file updates", "canceled"}));
}

TEST(FileReplaceListTaskSpecification, ListWithoutConfigurationNeverPasses)
{
    QList<UpdateFileEntry> list{copyEntry("a.txt")};
    FileReplaceListTaskSpecification task(&list, nullptr, nullptr, 1.0);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
}

// Modes come from the replaced file (or the name rule for a new one), never from the umask, and
// nothing ends up writable by group or others.
TEST(FileReplaceListTaskSpecification, ReplacedFilesKeepTheirModesAndNewFilesGetSafeOnes)
{
    struct Case {
        const char* name;
        int oldMode; // -1: not installed before
        int expected;
    };
    const Case cases[] = {
        {"data/private.dat", 0600, 0600},
        {"data/shared.dat", 0640, 0640},
        {"data/everyone.dat", 0666, 0644},
        {"tools/helper.sh", 0755, 0755},
        {"tools/setuid_tool", 04755, 0755},
        {"tools/setgid_tool", 02750, 0750},
        {"update", 0700, 0700},
        {"vx3client_linux_x86", 0644, 0755},
        {"lib/libold.so.5", 0664, 0755},
        {"new/readme.txt", -1, 0644},
        {"new/vx3client_runscript.sh", -1, 0755},
        {"lib/libnew.so", -1, 0755},
    };
    ReplaceTree tree;
    QList<UpdateFileEntry> list;
    for (const Case& c : cases) {
        const QString name = c.name;
        if (c.oldMode >= 0) {
            tree.put(tree.installFile(name), "old " + name.toUtf8());
            ASSERT_EQ(::chmod(QFile::encodeName(tree.installFile(name)).constData(), c.oldMode), 0);
        }
        tree.put(tree.workFile(name + ".gz"), vxtest::gzipped("new " + name.toUtf8()));
        list << packedEntry(name + ".gz", name, "new " + name.toUtf8());
    }

    // A file of another user keeps its owner when root replaces it, as writing in place did.
    const QByteArray othersFile = QFile::encodeName(tree.installFile("data/shared.dat"));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(othersFile.constData(), 65534, 65534), 0);
    }

    const vxtest::UmaskScope noMask(0);
    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED) << log.lines.join("\n").toStdString();
    struct stat owner;
    ASSERT_EQ(::stat(othersFile.constData(), &owner), 0);
    if (root) {
        EXPECT_EQ(owner.st_uid, 65534u);
        EXPECT_EQ(owner.st_gid, 65534u);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vxtest::readFile(tree.installFile(c.name)), "new " + QByteArray(c.name));
        EXPECT_EQ(vxtest::modeOf(tree.installFile(c.name)), c.expected);
    }
    EXPECT_EQ(vxtest::writableByOthers(tree.install()), QStringList());
    // Neither staged files nor the earlier contents kept for undo stay behind.
    const QDir data(tree.installFile("data"));
    EXPECT_EQ(data.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({"everyone.dat", "private.dat", "shared.dat"}));
}

// Whatever fails, the replaced files come back as the very files they were (undo renames them
// back, so it needs no free space), byte for byte and mode for mode, and nothing staged stays.
TEST(FileReplaceListTaskSpecification, FailedReplaceRenamesTheEarlierFilesBack)
{
    const vxtest::UmaskScope noMask(0);
    const QByteArray newUpdater(300000, 'u');
    const QByteArray newReadme("the new readme\n");
    struct Case {
        const char* name;
        QByteArray readmeDigestOf;
        bool stagedIsAFolder; // another user's folder where the readme is to be staged
        bool folderInTheWay;  // an installed folder where the last file is to go
        QString reason;
    };
    const Case cases[] = {
        {"digest mismatch", "other", false, false,
         "Signature check failed for {install}/data/readme.txt"},
        {"staged file not writable", newReadme, true, false,
         "'{install}/data/.readme.txt.voxmere_new' is in the way of the update and is not ours "
         "to remove"},
        {"rename refused", newReadme, false, true,
         "Could not rename '{install}/data/.folder.voxmere_new' to '{install}/data/folder'"},
    };
    // The work folder on the installation's file system, and (where there is one) on another.
    QStringList workParents{QString()};
    if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        workParents << QStringLiteral("/dev/shm");
    for (const QString& workParent : workParents) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name + (" work in " + workParent).toStdString());
            if (c.stagedIsAFolder && !vxtest::otherUserUnavailable().isEmpty())
                continue; // no other user to own the folder
            ReplaceTree tree(workParent);
            const struct {
                const char* name;
                mode_t mode;
            } installed[] = {
                {"update", 0700}, {"data/readme.txt", 0640}, {"lib/libkeep.so.5", 0750}};
            for (const auto& file : installed) {
                tree.put(tree.installFile(file.name), "old " + QByteArray(file.name));
                ASSERT_EQ(::chmod(QFile::encodeName(tree.installFile(file.name)).constData(),
                                  file.mode), 0);
            }
            ASSERT_TRUE(QFile::link("libkeep.so.5", tree.installFile("lib/libkeep.so")));
            tree.put(tree.workFile("update.gz"), vxtest::gzipped(newUpdater));
            tree.put(tree.workFile("readme.gz"), vxtest::gzipped(newReadme));
            tree.put(tree.workFile("lib.gz"), vxtest::gzipped("new library"));
            tree.put(tree.workFile("folder.gz"), vxtest::gzipped("file"));
            if (c.stagedIsAFolder) {
                const QString folder = tree.installFile("data/.readme.txt.voxmere_new");
                tree.put(folder + "/x", "in the way");
                ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), vxtest::otherUserId(), -1), 0);
            }
            if (c.folderInTheWay)
                tree.put(tree.installFile("data/folder/inside"), "in the way");
            QList<UpdateFileEntry> list{
                packedEntry("update.gz", "update", newUpdater),
                packedEntry("lib.gz", "lib/libkeep.so.5", "new library"),
                packedEntry("lib.gz", "lib/libkeep.so", "new library"),
                packedEntry("readme.gz", "data/readme.txt", c.readmeDigestOf)};
            if (c.folderInTheWay)
                list << packedEntry("folder.gz", "data/folder", "file");
            const auto before = vxtest::snapshot(tree.install());
            const ino_t updaterInode = vxtest::inodeOf(tree.installFile("update"));
            const ino_t libraryInode = vxtest::inodeOf(tree.installFile("lib/libkeep.so.5"));

            FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
            EventLog log(&task);
            ASSERT_TRUE(vxtest::runToEnd(task));
            EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
            EXPECT_TRUE(vxtest::snapshot(tree.install()) == before);
            EXPECT_EQ(vxtest::modeOf(tree.installFile("update")), 0700);
            EXPECT_EQ(vxtest::inodeOf(tree.installFile("update")), updaterInode);
            EXPECT_EQ(vxtest::inodeOf(tree.installFile("lib/libkeep.so.5")), libraryInode);
            EXPECT_EQ(QFileInfo(tree.installFile("lib/libkeep.so")).symLinkTarget(),
                      tree.installFile("lib/libkeep.so.5"));
            QString reason = c.reason;
            reason.replace("{work}", tree.work()).replace("{install}", tree.install());
            EXPECT_TRUE(log.lines.contains("message:" + reason))
                << log.lines.join("\n").toStdString();
            EXPECT_EQ(log.lines.mid(log.lines.size() - 2),
                      QStringList({"message:rolling back file updates", "canceled"}));
            for (const QString& line : log.lines)
                EXPECT_FALSE(line.contains("warning: rollback")) << line.toStdString();
        }
    }
}

TEST(FileReplaceListTaskSpecification, RemovesWhatAKilledRunLeftInTheInstallation)
{
    ReplaceTree tree;
    const QStringList leftovers{"lib/.libfoo.so.5.voxmere_new", "lib/.libfoo.so.5.voxmere_undo",
                                ".update.voxmere_undo", "deep/er/.x.dat.voxmere_new",
                                "data/.model.bin.voxmere_new/x"};
    const QStringList kept{"lib/libfoo.so.5", "update", ".hidden_settings", "plain.voxmere_new",
                           "deep/er/x.dat"};
    for (const QString& name : leftovers + kept)
        tree.put(tree.installFile(name), "some bytes");
    QList<UpdateFileEntry> list;
    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    for (const QString& name : leftovers)
        EXPECT_FALSE(QFileInfo::exists(tree.installFile(name))) << name.toStdString();
    for (const QString& name : kept)
        EXPECT_TRUE(QFileInfo::exists(tree.installFile(name))) << name.toStdString();
}

// Watched from another thread while it is replaced, the installed file is always there with the
// size of its earlier or of its new content.
TEST(FileReplaceListTaskSpecification, InstalledFileIsNeverMissingOrPartlyWritten)
{
    const QByteArray oldContent(1 << 20, 'o');
    const QByteArray newContent(4 << 20, 'n');
    ReplaceTree tree;
    tree.put(tree.installFile("update"), oldContent);
    tree.put(tree.workFile("update.gz"), vxtest::gzipped(newContent));
    QList<UpdateFileEntry> list{packedEntry("update.gz", "update", newContent)};
    const QByteArray watched = QFile::encodeName(tree.installFile("update"));
    std::atomic<bool> stop{false};
    std::atomic<bool> looked{false};
    std::set<long long> sizesSeen;
    std::thread watcher([&] {
        // One more look after the task has ended: on a loaded machine the loop may not have run
        // between the rename and the stop.
        for (bool last = false; !last;) {
            last = stop;
            struct stat st;
            sizesSeen.insert(::stat(watched.constData(), &st) == 0 ? st.st_size : -1);
            looked = true;
        }
    });
    // The task starts only once the watcher has seen the file before it, however late the
    // thread gets to run.
    while (!looked)
        std::this_thread::yield();
    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    const bool ended = vxtest::runToEnd(task);
    stop = true;
    watcher.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(sizesSeen, std::set<long long>({oldContent.size(), newContent.size()}));
}

namespace {

// A folder of the installation handed to the other local user (who can reach it), and a file
// outside the installation that only root may change; empty paths when that cannot be made.
QString giveToOtherUser(const ReplaceTree& tree, const QString& name)
{
    const QString folder = tree.installFile(name);
    const QByteArray osFolder = QFile::encodeName(folder);
    const bool ok = vxtest::shareLikeSystemTemp(tree.tmp.path(), folder)
        && ::chown(osFolder.constData(), vxtest::otherUserId(), gid_t(-1)) == 0
        && ::chmod(osFolder.constData(), 0755) == 0;
    return ok ? folder : QString();
}

QString rootOnlyFile(const ReplaceTree& tree)
{
    const QString path = tree.tmp.filePath("rootonly/ring.dat");
    ReplaceTree::put(path, "root's own");
    const bool ok = ::chmod(QFile::encodeName(path).constData(), 0600) == 0
        && ::chmod(QFile::encodeName(tree.tmp.filePath("rootonly")).constData(), 0700) == 0;
    return ok ? path : QString();
}

} // namespace

// The other user keeps planting the staged name in their folder as a link to a file only root
// may change: each writer makes a new file in its place (the copier refuses the name) and never
// writes through the link.
TEST(FileReplaceListTaskSpecification, WritersNeverFollowALinkPlantedAtTheStagedName)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    const vxtest::PatchPair& lib = vxtest::patchPair();
    ReplaceTree tree;
    const QString folder = giveToOtherUser(tree, "sounds");
    const QString victim = rootOnlyFile(tree);
    ASSERT_FALSE(folder.isEmpty() || victim.isEmpty());
    const QByteArray content("the new ring");
    tree.put(tree.workFile("ring.gz"), vxtest::gzipped(content));
    tree.put(tree.workFile("ring._lzma2_"), vxtest::lzmaPacked(content, false));
    tree.put(tree.workFile("ring.dat"), content);
    tree.put(tree.workFile("old.dat"), lib.oldData);
    tree.put(tree.workFile("ring_patch_"), lib.patch);
    const QString staged = StagedFile::stagingPath(folder + "/ring.dat");
    struct Case {
        const char* name;
        std::function<bool()> write;
        QByteArray written; // empty: the writer must refuse
    };
    const Case cases[] = {
        {"gunzip", [&] { return gunzipFile(staged, tree.workFile("ring.gz")); }, content},
        {"lzma2", [&] { return FileUnpackFunc_lzma2::unpackFile(tree.workFile("ring._lzma2_"), staged); },
         content},
        {"patch", [&] { return FileFuncPatch::patchFile(tree.workFile("old.dat"), tree.workFile("ring_patch_"), staged); },
         lib.newData},
        {"copy", [&] { return StagedFile::copyFile(tree.workFile("ring.dat"), staged, 0644); },
         QByteArray()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(vxtest::runAsOtherUser(
            folder, QString("ln -sfn '%1' '%2'").arg(victim, QFileInfo(staged).fileName())));
        const bool wrote = c.write();
        EXPECT_EQ(vxtest::readFile(victim), "root's own");
        EXPECT_EQ(vxtest::modeOf(victim), 0600);
        EXPECT_EQ(wrote, !c.written.isEmpty());
        if (wrote) {
            EXPECT_FALSE(QFileInfo(staged).isSymLink());
            EXPECT_TRUE(vxtest::readFile(staged) == c.written);
        }
    }
}

// The other user's folder holds a folder the update writes into. Swapped for a link to a folder
// outside after the paths were checked, it is refused by name, the run fails and undoes itself,
// and nothing outside the installation changes.
TEST(FileReplaceListTaskSpecification, FolderSwappedForALinkAfterTheCheckIsNotFollowed)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    ReplaceTree tree;
    const QString folder = giveToOtherUser(tree, "sounds");
    ASSERT_FALSE(folder.isEmpty());
    const QString outside = tree.tmp.filePath("outside");
    ASSERT_TRUE(QDir().mkpath(outside));
    const QByteArray newReadme("the new readme\n");
    tree.put(tree.installFile("data/readme.txt"), "old readme");
    tree.put(tree.workFile("readme.gz"), vxtest::gzipped(newReadme));
    tree.put(tree.workFile("chime.gz"), vxtest::gzipped("chime"));
    QList<UpdateFileEntry> list{packedEntry("readme.gz", "data/readme.txt", newReadme),
                                packedEntry("chime.gz", "sounds/alerts/chime.dat", "chime")};
    ASSERT_TRUE(vxtest::runAsOtherUser(folder, QString("ln -s '%1' alerts").arg(outside)));
    const auto before = vxtest::snapshot(tree.install());

    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(QDir(outside).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList());
    EXPECT_TRUE(vxtest::snapshot(tree.install()) == before);
    EXPECT_TRUE(log.lines.contains(QString("message:Not following the link '%1/alerts': other "
                                           "users could have put it there").arg(folder)))
        << log.lines.join("\n").toStdString();
}

static std::atomic<bool> sizeLimitReached{false};

// The installed file a patch applies to has become the other user's link to an endless device:
// the old copy reads nothing through it (past a limit, writes would fail and be noted).
TEST(FileReplaceListTaskSpecification, OldCopyForAPatchEndsAtTheCheckedFile)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    const vxtest::PatchPair& lib = vxtest::patchPair();
    ReplaceTree tree;
    const QString folder = giveToOtherUser(tree, "sounds");
    ASSERT_FALSE(folder.isEmpty());
    tree.put(tree.workFile("sounds/ring.dat_patch_"), lib.patch);
    ASSERT_TRUE(vxtest::runAsOtherUser(folder, "ln -s /dev/zero ring.dat"));
    QList<UpdateFileEntry> list{patchedEntry("sounds/ring.dat", lib.newData)};
    list[0].oldSize = lib.oldData.size();
    FileReplaceListTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    struct rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    const struct rlimit limit = {64 << 20, old.rlim_max};
    const auto oldHandler = std::signal(SIGXFSZ, [](int) { sizeLimitReached = true; });
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool ended = vxtest::runToEnd(task);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(ended);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_FALSE(sizeLimitReached);
}

// Where the undo name cannot be a hard link (here it lies on another file system), the earlier
// content is copied, never through the other user's link at the installed name.
TEST(FileReplaceListTaskSpecification, UndoCopyNeverReadsThroughALinkAtTheInstalledName)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    ReplaceTree tree;
    QTemporaryDir elsewhere(QStringLiteral("/dev/shm/undo-XXXXXX"));
    const QString folder = giveToOtherUser(tree, "sounds");
    const QString victim = rootOnlyFile(tree);
    ASSERT_FALSE(folder.isEmpty() || victim.isEmpty());
    struct stat here, there;
    if (!elsewhere.isValid() || ::stat("/dev/shm", &there) != 0
        || ::stat(QFile::encodeName(tree.tmp.path()).constData(), &here) != 0
        || here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    ASSERT_TRUE(vxtest::runAsOtherUser(folder, QString("ln -s '%1' ring.dat").arg(victim)));
    const QString undo = elsewhere.filePath(".ring.dat.voxmere_undo");
    EXPECT_FALSE(StagedFile::keepForUndo(folder + "/ring.dat", undo));
    EXPECT_FALSE(QFileInfo(undo).exists() || QFileInfo(undo).isSymLink());
    EXPECT_EQ(vxtest::readFile(victim), "root's own");
}

// The other user puts a file of theirs at the installed name of their folder, and in one case
// also renames one over the staged name once the staged file was checked (its result waits in the
// event queue meanwhile): only the checked file is ever installed, as root's with a mode of its
// own, never the other user's owner or mode.
TEST(FileReplaceListTaskSpecification, InstallsOnlyTheCheckedFileAndNoOwnerOrModeOfAnotherUser)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    ReplaceTree tree;
    const QString folder = giveToOtherUser(tree, "sounds");
    ASSERT_FALSE(folder.isEmpty());
    const QString dst = folder + "/ring.dat";
    const QString staged = StagedFile::stagingPath(dst);
    for (const bool swap : {false, true}) {
        SCOPED_TRACE(swap ? "swapped" : "not swapped");
        ASSERT_TRUE(vxtest::runAsOtherUser(folder, "rm -f ring.dat; echo old >ring.dat; chmod 604 ring.dat"));
        tree.put(staged, "the new ring");
        RollbackDataList journal;
        FileInstallTaskSpecification install(&journal, staged, dst, vxtest::sha512Hex("the new ring"),
                                             true, "Could not unzip", nullptr, 1.0);
        EventLog log(&install);
        install.execute();
        QThreadPool::globalInstance()->waitForDone();
        if (swap) {
            ASSERT_TRUE(vxtest::runAsOtherUser(folder, "echo evil >x; mv -f x " + QFileInfo(staged).fileName()));
        }
        ASSERT_TRUE(vxtest::runUntil([&] { return install.getState() != TaskSpecification::TASK_RUNNING; }));
        EXPECT_EQ(install.getState(), swap ? TaskSpecification::TASK_FAILED : TaskSpecification::TASK_FINISHED);
        EXPECT_EQ(vxtest::readFile(dst), swap ? "old\n" : "the new ring");
        EXPECT_EQ(vxtest::modeOf(dst), swap ? 0604 : 0644);
        EXPECT_EQ(QFileInfo(dst).ownerId(), swap ? vxtest::otherUserId() : 0u);
        if (swap) {
            EXPECT_TRUE(log.lines.contains(QString("message:'%1' is not the file that was checked").arg(staged)))
                << log.lines.join("\n").toStdString();
        }
    }
}
