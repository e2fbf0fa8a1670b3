#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "eventloop.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
