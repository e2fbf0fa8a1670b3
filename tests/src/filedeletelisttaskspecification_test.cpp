#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "eventloop.h"
#include "otheruser.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using vxtest::EventLog;

TEST(FileDeleteListTaskSpecification, DeletesInListOrderUnderTheInstallDirAndAlwaysSucceeds)
{
    QTemporaryDir install;
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir().mkpath(install.filePath("plugins/old/deep")));
    ASSERT_TRUE(vxtest::writeFile(install.filePath("plugins/old/deep/x.so"), "x"));
    ASSERT_TRUE(QDir().mkpath(install.filePath("docs")));
    ASSERT_TRUE(vxtest::writeFile(install.filePath("docs/readme"), "r"));
    ASSERT_TRUE(vxtest::writeFile(install.filePath("obsolete.bin"), "o"));
    ASSERT_TRUE(vxtest::writeFile(elsewhere.filePath("absolute.bin"), "a"));

    Configuration config;
    config.installDir = install.path();
    QList<DeleteEntry> list{
        {"obsolete.bin", false},
        {"plugins/old", true},
        {"missing.bin", false},
        {"docs", false}, // not empty and not recursive: passed over
        {elsewhere.filePath("absolute.bin"), false},
    };
    FileDeleteListTaskSpecification task(&list, &config, nullptr, 0.05);
    EventLog log(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 1));
    EXPECT_EQ(log.lines,
              QStringList({"message:Starting deleting files",
                           "message:Deleted file '" + install.filePath("obsolete.bin") + "'",
                           "message:Recursively deleted directory '" + install.filePath("plugins/old") + "'",
                           "message:Deleted file '" + elsewhere.filePath("absolute.bin") + "'",
                           "finished"}));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.05);
    EXPECT_TRUE(QFileInfo(install.filePath("plugins")).isDir());
    EXPECT_TRUE(QFileInfo::exists(install.filePath("docs/readme")));
    EXPECT_EQ(task.getTasks().size(), 5);
    for (TaskSpecification* sub : task.getTasks())
        EXPECT_DOUBLE_EQ(sub->getWeight(), 1.0 / 5);
}

TEST(FileDeleteListTaskSpecification, EmptyListAnnouncesAndSucceedsAtOnce)
{
    Configuration config;
    QList<DeleteEntry> list;
    FileDeleteListTaskSpecification task(&list, &config, nullptr, 1.0);
    EventLog log(&task);
    task.execute();
    EXPECT_EQ(log.lines, QStringList({"message:Starting deleting files", "finished"}));
}

TEST(FileDeleteListTaskSpecification, ResetDropsTheSubTasksAndTheNextRunReadsTheListAgain)
{
    QTemporaryDir install;
    ASSERT_TRUE(vxtest::writeFile(install.filePath("one"), "1"));
    ASSERT_TRUE(vxtest::writeFile(install.filePath("two"), "2"));
    Configuration config;
    config.installDir = install.path();
    QList<DeleteEntry> list{{"one", false}};
    FileDeleteListTaskSpecification task(&list, &config, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 1));

    task.reset();
    EXPECT_TRUE(task.getTasks().isEmpty());
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_IDLE);
    list = {{"two", false}};
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 2));
    EXPECT_EQ(task.getTasks().size(), 1);
    EXPECT_FALSE(QFileInfo::exists(install.filePath("two")));
}

// A file of the earlier release that stays in the installation must not end in a successful run.
TEST(FileDeleteListTaskSpecification, AnInstalledFileThatCannotBeDeletedFailsTheList)
{
    QTemporaryDir install;
    ASSERT_TRUE(QDir().mkpath(install.filePath("locked")));
    ASSERT_TRUE(vxtest::writeFile(install.filePath("locked/stale.bin"), "s"));
    // Nobody but root may change the folder; the deletion runs as somebody else.
    ASSERT_EQ(::chmod(QFile::encodeName(install.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(install.filePath("locked")).constData(), 0555), 0);
    Configuration config;
    config.installDir = install.path();
    QList<DeleteEntry> list{{"missing.bin", false}, {"locked/stale.bin", false}};
    FileDeleteListTaskSpecification task(&list, &config, nullptr, 1.0);
    EventLog log(&task);
    QSignalSpy ended(&task, &TaskSpecification::canceled);
    const uid_t self = ::geteuid();
    if (self == 0) {
        ASSERT_EQ(::seteuid(65534), 0);
    }
    task.execute();
    const bool ended_ = vxtest::waitForCount(ended, 1);
    if (self == 0) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    ASSERT_EQ(::chmod(QFile::encodeName(install.filePath("locked")).constData(), 0755), 0);
    ASSERT_TRUE(ended_);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    const QString stale = install.filePath("locked/stale.bin");
    EXPECT_TRUE(QFileInfo::exists(stale));
    EXPECT_TRUE(log.lines.contains("message:Could not delete '" + stale + "'"));
    EXPECT_TRUE(log.lines.contains("error:Could not delete '" + stale + "'"))
        << log.lines.join("\n").toStdString();
}

// On the way to a folder of the earlier release, in a folder another user can write, that user
// put a link to a folder outside: refused by name, nothing outside goes, and the list fails.
TEST(FileDeleteListTaskSpecification, ALinkOnTheWayToAFolderToRemoveIsNotFollowed)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    QTemporaryDir install;
    QTemporaryDir outside;
    const QString folder = install.filePath("sounds");
    ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(outside.filePath("keep/pack")));
    ASSERT_TRUE(vxtest::shareLikeSystemTemp(install.path(), folder));
    ASSERT_TRUE(vxtest::writeFile(outside.filePath("keep/pack/a.dat"), "precious"));
    ASSERT_TRUE(vxtest::runAsOtherUser(folder, QString("ln -s '%1' old").arg(outside.filePath("keep"))));
    Configuration config;
    config.installDir = install.path();
    QList<DeleteEntry> list{{"sounds/old/pack", true}};
    FileDeleteListTaskSpecification task(&list, &config, nullptr, 1.0);
    EventLog log(&task);
    QSignalSpy ended(&task, &TaskSpecification::canceled);
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(ended, 1));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_TRUE(QFileInfo::exists(outside.filePath("keep/pack/a.dat")));
    EXPECT_TRUE(log.lines.contains(QString("message:Not following the link '%1/old': other users "
                                           "could have put it there").arg(folder)));
}
