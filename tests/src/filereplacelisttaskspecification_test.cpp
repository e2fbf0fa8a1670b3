#include "filereplacelisttaskspecification.h"

#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"
#include "replacetestutil.h"
#include "replacewritesteps.h"
#include "testtasks.h"

#include <QFile>

using vxtest::EventLog;
using vxtest::ReplaceTree;

namespace {

// A whole published file installed under its own name.
UpdateFileEntry copyEntry(const QString& name)
{
    return UpdateFileEntry("files", name, QString(), 0, QString());
}

const QFileDevice::Permissions kAll(0x7777);
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
    EXPECT_EQ(QFile::permissions(tree.installFile("update")), kAll);
    EXPECT_EQ(QFile::permissions(tree.installFile("lib/libfoo.so.5")), kAll);
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
        EXPECT_EQ(QFile::permissions(path), c.executable ? kAll : kPlain);
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
#ifndef VX_HAVE_ZIP_TASK
    GTEST_SKIP() << "built without the gunzip step";
#endif
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
    EXPECT_EQ(QFile::permissions(tree.installFile("bin/update")), kAll);
    // A replaced file keeps the mode it had.
    EXPECT_EQ(QFile::permissions(tree.installFile("data/readme.txt")), kOwnerOnly);
}

// A failing package, digest or later step takes back every file written before it: replaced
// installed files come back with their content and mode, new files and folders go.
TEST(FileReplaceListTaskSpecification, FailedPackagesRestoreTheReplacedFiles)
{
#ifndef VX_HAVE_ZIP_TASK
    GTEST_SKIP() << "built without the gunzip step";
#endif
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
