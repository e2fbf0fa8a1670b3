#include "filerenametaskspecification.h"

#include "rollbackdatalist.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using vxtest::EventLog;

TEST(FileRenameTaskSpecification, RenamesRecordsAndUndoes)
{
    QTemporaryDir tmp;
    const QString oldPath = tmp.filePath("lib.so");
    const QString newPath = tmp.filePath("backup/lib.so");
    ASSERT_TRUE(vxtest::writeFile(oldPath, "lib"));
    RollbackDataList journal;
    FileRenameTaskSpecification task(oldPath, newPath, &journal, nullptr, 1.0);
    task.execute();
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(vxtest::readFile(newPath), QByteArray("lib")) << "one missing level is created";
    ASSERT_EQ(journal.records().size(), 1);
    const RollbackData& record = journal.records().first();
    EXPECT_EQ(record.op, RollbackData::FILE_RENAME);
    EXPECT_EQ(record.path, newPath);
    EXPECT_EQ(record.second, oldPath);

    EXPECT_TRUE(journal.rollback(nullptr));
    EXPECT_EQ(vxtest::readFile(oldPath), QByteArray("lib"));
}

TEST(FileRenameTaskSpecification, RefusedRenamesFailWithTheirTextAndRecordNothing)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("src"), "s"));
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("taken"), "t"));
    struct Case {
        const char* name;
        QString oldPath;
        QString newPath;
    };
    const Case cases[] = {
        {"missing source", tmp.filePath("nothing"), tmp.filePath("dst")},
        {"two missing levels", tmp.filePath("src"), tmp.filePath("x/y/dst")},
        {"target taken", tmp.filePath("src"), tmp.filePath("taken")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RollbackDataList journal;
        FileRenameTaskSpecification task(c.oldPath, c.newPath, &journal, nullptr, 1.0);
        EventLog log(&task);
        task.execute();
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(log.lines, QStringList({"message:Could not rename '" + c.oldPath + "' to '" + c.newPath + "'",
                                          "canceled"}));
        EXPECT_TRUE(journal.records().isEmpty());
    }
    EXPECT_EQ(vxtest::readFile(tmp.filePath("src")), QByteArray("s"));
    EXPECT_EQ(vxtest::readFile(tmp.filePath("taken")), QByteArray("t"));
}
