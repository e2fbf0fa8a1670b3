#include "dircreatetaskspecification.h"

#include "rollbackdatalist.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using vxtest::EventLog;

namespace {

QStringList recorded(const RollbackDataList& journal)
{
    QStringList out;
    for (const RollbackData& r : journal.records()) {
        EXPECT_EQ(r.op, RollbackData::DIR_CREATED);
        out << r.path;
    }
    return out;
}

} // namespace

TEST(DirCreateTaskSpecification, ExistingDirectorySucceedsAndRecordsNothing)
{
    QTemporaryDir tmp;
    RollbackDataList journal;
    DirCreateTaskSpecification task(tmp.path(), &journal, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    EXPECT_EQ(finished.count(), 1) << "a fast operation ends within execute";
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_TRUE(journal.records().isEmpty());
}

TEST(DirCreateTaskSpecification, RecordsParentsBeforeChildrenAndUndoesChildrenFirst)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(QDir().mkdir(tmp.filePath("a")));
    struct Case {
        const char* asked;
        QStringList created;
    };
    const Case cases[] = {
        {"a/b/c", {"a/b", "a/b/c"}},
        {"x/y/z/", {"x", "x/y", "x/y/z"}},
        {"a//m/./n", {"a/m", "a/m/n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked);
        RollbackDataList journal;
        DirCreateTaskSpecification task(tmp.path() + "/" + c.asked, &journal, nullptr, 1.0);
        task.execute();
        ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
        QStringList expected;
        for (const QString& p : c.created)
            expected << tmp.filePath(p);
        EXPECT_EQ(recorded(journal), expected);
        EXPECT_TRUE(QFileInfo(expected.last()).isDir());

        EXPECT_TRUE(journal.rollback(nullptr));
        for (const QString& p : expected)
            EXPECT_FALSE(QFileInfo::exists(p)) << p.toStdString();
        EXPECT_TRUE(QFileInfo(tmp.filePath("a")).isDir()) << "what existed before stays";
    }
}

TEST(DirCreateTaskSpecification, PathsThatCannotBeCreatedFailWithTheirText)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(QDir().mkdir(tmp.filePath("a")));
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("a/file"), "x"));
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(tmp.path());
    struct Case {
        QString asked;
        QString text;
    };
    const Case cases[] = {
        {tmp.filePath("a/file"),
         "Could not create dir '" + tmp.filePath("a/file") + "' because it already exists and is not a dir"},
        {tmp.filePath("a/file/sub/deeper"), "unable to create dir " + tmp.filePath("a/file/sub")},
        {"nosuch", "Could not create dir nosuch"},
        // The text names the directory asked for, not the level that could not be made.
        {"nosuch/inner", "Could not create dir nosuch/inner"},
        {"", "Could not create dir "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.asked.toStdString());
        RollbackDataList journal;
        DirCreateTaskSpecification task(c.asked, &journal, nullptr, 1.0);
        EventLog log(&task);
        task.execute();
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(log.lines, QStringList({"message:" + c.text, "canceled"}));
        EXPECT_TRUE(journal.records().isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("nosuch")));
    QDir::setCurrent(previousDir);
}

TEST(DirCreateTaskSpecification, WorksWithoutAJournal)
{
    QTemporaryDir tmp;
    DirCreateTaskSpecification task(tmp.filePath("p/q"), nullptr, nullptr, 1.0);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_TRUE(QFileInfo(tmp.filePath("p/q")).isDir());
}
