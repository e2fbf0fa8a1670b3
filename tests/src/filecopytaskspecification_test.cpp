#include "filecopytaskspecification.h"

#include "dircreatetaskspecification.h"
#include "eventloop.h"
#include "filerenametaskspecification.h"
#include "rollbackdatalist.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using vxtest::EventLog;
using vxtest::ManualComposed;
using vxtest::runToEnd;

TEST(FileCopyTaskSpecification, CopiesOnThePoolAndRecordsTheNewFile)
{
    QTemporaryDir tmp;
    const QString src = tmp.filePath("src.bin");
    const QString dst = tmp.filePath("dst.bin");
    const QByteArray data(300000, '\x5a');
    ASSERT_TRUE(vxtest::writeFile(src, data));
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, src, dst, nullptr, 0.3);
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.3);
    EXPECT_EQ(vxtest::readFile(dst), data);
    ASSERT_EQ(journal.records().size(), 1);
    EXPECT_EQ(journal.records().first().op, RollbackData::FILE_CREATED);
    EXPECT_EQ(journal.records().first().path, dst);
}

TEST(FileCopyTaskSpecification, WorksWithoutAJournal)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("a"), "a"));
    FileCopyTaskSpecification task(nullptr, tmp.filePath("a"), tmp.filePath("b"), nullptr, 1.0);
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(vxtest::readFile(tmp.filePath("b")), QByteArray("a"));
}

TEST(FileCopyTaskSpecification, RefusedCopiesFailWithTheirTextAndRecordNothing)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("src"), "new"));
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("existing"), "old"));
    struct Case {
        const char* name;
        QString src;
        QString dst;
    };
    const Case cases[] = {
        {"target exists", tmp.filePath("src"), tmp.filePath("existing")},
        {"source missing", tmp.filePath("nothing"), tmp.filePath("dst")},
        {"source is a directory", tmp.path(), tmp.filePath("dst2")},
        {"target folder missing", tmp.filePath("src"), tmp.filePath("no/dir/dst")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RollbackDataList journal;
        FileCopyTaskSpecification task(&journal, c.src, c.dst, nullptr, 1.0);
        EventLog log(&task);
        ASSERT_TRUE(runToEnd(task));
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(log.lines, QStringList({"message:Could not copy '" + c.src + "' to '" + c.dst + "'",
                                          "canceled"}));
        EXPECT_TRUE(journal.records().isEmpty());
    }
    EXPECT_EQ(vxtest::readFile(tmp.filePath("existing")), QByteArray("old"));
}

// A replacement in miniature: make a folder, copy a file into it, move the old one aside; the
// last step fails, and the journal takes back what was done, reporting what it could not.
TEST(FileCopyTaskSpecification, FailedSequenceIsUndoneAsFarAsPossible)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(QDir().mkpath(tmp.filePath("download")));
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("download/new.so"), "new"));
    RollbackDataList journal;
    ManualComposed replace(1);
    replace.addTask(new DirCreateTaskSpecification(tmp.filePath("install/lib"), &journal, &replace, 0.2));
    replace.addTask(new FileCopyTaskSpecification(&journal, tmp.filePath("download/new.so"),
                                                  tmp.filePath("install/lib/new.so"), &replace, 0.4));
    replace.addTask(new FileRenameTaskSpecification(tmp.filePath("install/missing.so"),
                                                    tmp.filePath("install/lib/old.so"), &journal,
                                                    &replace, 0.4));
    EventLog log(&replace);
    ASSERT_TRUE(runToEnd(replace));
    ASSERT_EQ(replace.getState(), TaskSpecification::TASK_FAILED);
    ASSERT_EQ(journal.records().size(), 3);

    // Someone put a file into the new folder meanwhile: that folder cannot be taken back.
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("install/lib/user.cfg"), "u"));
    EXPECT_FALSE(journal.rollback(&replace));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("install/lib/new.so")));
    EXPECT_TRUE(QFileInfo::exists(tmp.filePath("install/lib/user.cfg")));
    EXPECT_EQ(log.lines.mid(log.lines.size() - 2),
              QStringList({"message:warning: rollback create dir " + tmp.filePath("install/lib") + " failed",
                           "message:warning: rollback create dir " + tmp.filePath("install") + " failed"}));
    EXPECT_TRUE(log.lines.contains("message:Could not rename '" + tmp.filePath("install/missing.so") +
                                   "' to '" + tmp.filePath("install/lib/old.so") + "'"));
}
