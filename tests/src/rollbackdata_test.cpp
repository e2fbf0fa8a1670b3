#include "rollbackdata.h"
#include "rollbackdatalist.h"

#include "testpaths.h"
#include "testtasks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using vxtest::ManualTask;

namespace {

// Receives the journal's warnings through a task's message signal.
struct Notify {
    ManualTask task{nullptr};
    QStringList warnings;
    Notify()
    {
        QObject::connect(&task, &TaskSpecification::message, [this](const QString& t) { warnings << t; });
    }
};

QStringList debugLines;
void collectDebug(QtMsgType, const QMessageLogContext&, const QString& text)
{
    debugLines << text;
}

} // namespace

TEST(RollbackDataList, EmptyJournalRollsBackCleanlyAndSilently)
{
    RollbackDataList journal;
    Notify notify;
    EXPECT_TRUE(journal.rollback(&notify.task));
    EXPECT_TRUE(notify.warnings.isEmpty());
}

TEST(RollbackDataList, UndoesNestedCreationsNewestFirst)
{
    QTemporaryDir tmp;
    const QString a = tmp.filePath("a");
    const QString b = a + "/b";
    const QString f = b + "/f";
    ASSERT_TRUE(QDir().mkpath(b));
    ASSERT_TRUE(vxtest::writeFile(f, "x"));
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::DIR_CREATED, a));
    journal.append(RollbackData(RollbackData::DIR_CREATED, b));
    journal.append(RollbackData(RollbackData::FILE_CREATED, f));

    Notify notify;
    EXPECT_TRUE(journal.rollback(&notify.task));
    EXPECT_TRUE(notify.warnings.isEmpty()) << notify.warnings.join("\n").toStdString();
    EXPECT_FALSE(QFileInfo::exists(a));
    EXPECT_TRUE(journal.records().isEmpty());
}

TEST(RollbackDataList, KeepsGoingAfterAFailedStepAndReportsIt)
{
    QTemporaryDir tmp;
    const QString first = tmp.filePath("first");
    const QString gone = tmp.filePath("gone");
    const QString third = tmp.filePath("third");
    ASSERT_TRUE(vxtest::writeFile(first, "1"));
    ASSERT_TRUE(vxtest::writeFile(third, "3"));
    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATED, first));
    journal.append(RollbackData(RollbackData::FILE_CREATED, gone));
    journal.append(RollbackData(RollbackData::FILE_CREATED, third));

    Notify notify;
    EXPECT_FALSE(journal.rollback(&notify.task));
    EXPECT_EQ(notify.warnings, QStringList({"warning: rollback create file " + gone + " failed"}));
    EXPECT_FALSE(QFileInfo::exists(first)) << "the step before the failure must still be undone";
    EXPECT_FALSE(QFileInfo::exists(third));
    EXPECT_TRUE(journal.records().isEmpty());
    EXPECT_TRUE(journal.rollback(&notify.task)) << "an emptied journal rolls back cleanly";
}

TEST(RollbackDataList, WarningsComeNewestFirst)
{
    QTemporaryDir tmp;
    RollbackDataList journal;
    for (const char* name : {"one", "two", "three"})
        journal.append(RollbackData(RollbackData::FILE_CREATED, tmp.filePath(name)));
    Notify notify;
    EXPECT_FALSE(journal.rollback(&notify.task));
    EXPECT_EQ(notify.warnings,
              QStringList({"warning: rollback create file " + tmp.filePath("three") + " failed",
                           "warning: rollback create file " + tmp.filePath("two") + " failed",
                           "warning: rollback create file " + tmp.filePath("one") + " failed"}));
}

TEST(RollbackData, DirectoryThatGainedContentIsLeftInPlace)
{
    QTemporaryDir tmp;
    const QString dir = tmp.filePath("made");
    ASSERT_TRUE(QDir().mkdir(dir));
    ASSERT_TRUE(vxtest::writeFile(dir + "/user.txt", "keep me"));
    Notify notify;
    EXPECT_FALSE(RollbackData(RollbackData::DIR_CREATED, dir).rollback(&notify.task));
    EXPECT_EQ(notify.warnings, QStringList({"warning: rollback create dir " + dir + " failed"}));
    EXPECT_EQ(vxtest::readFile(dir + "/user.txt"), QByteArray("keep me"));
}

TEST(RollbackData, RenameIsUndoneAndItsWarningNamesTheOldNameFirst)
{
    QTemporaryDir tmp;
    const QString oldName = tmp.filePath("old.bin");
    const QString newName = tmp.filePath("new.bin");
    ASSERT_TRUE(vxtest::writeFile(newName, "moved"));
    const RollbackData record(RollbackData::FILE_RENAME, oldName, newName);
    EXPECT_EQ(record.path, newName);
    EXPECT_EQ(record.second, oldName);

    Notify notify;
    EXPECT_TRUE(record.rollback(&notify.task));
    EXPECT_EQ(vxtest::readFile(oldName), QByteArray("moved"));
    EXPECT_FALSE(QFileInfo::exists(newName));

    EXPECT_FALSE(record.rollback(&notify.task)) << "the new name is gone now";
    EXPECT_EQ(notify.warnings,
              QStringList({"warning: rollback rename " + oldName + " to " + newName + " failed"}));
}

TEST(RollbackData, MessageGoesOnlyToAnObjectThatHasIt)
{
    RollbackData::message(nullptr, "nobody hears this");

    Notify notify;
    RollbackData::message(&notify.task, "heard");
    EXPECT_EQ(notify.warnings, QStringList({"heard"}));

    QObject plain;
    debugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
    RollbackData::message(&plain, "dropped");
    qInstallMessageHandler(previous);
    EXPECT_TRUE(debugLines.contains("Warning: message signal was not found in RollbackData::message"))
        << debugLines.join("\n").toStdString();
}

TEST(RollbackDataList, AppendListKeepsOrderAndClearUndoesNothing)
{
    QTemporaryDir tmp;
    const QString kept = tmp.filePath("kept");
    ASSERT_TRUE(vxtest::writeFile(kept, "k"));
    RollbackDataList parent;
    parent.append(RollbackData(RollbackData::FILE_CREATED, "p1"));
    RollbackDataList child;
    child.append(RollbackData(RollbackData::DIR_CREATED, "c1"));
    child.append(RollbackData(RollbackData::FILE_RENAME, "c2old", "c2new"));
    parent.appendList(child);
    parent.appendList(parent);

    QStringList paths;
    for (const RollbackData& r : parent.records())
        paths << r.path;
    EXPECT_EQ(paths, QStringList({"p1", "c1", "c2new", "p1", "c1", "c2new"}));
    EXPECT_EQ(child.records().size(), 2) << "the source journal is left as it was";

    RollbackDataList journal;
    journal.append(RollbackData(RollbackData::FILE_CREATED, kept));
    journal.clear();
    EXPECT_TRUE(journal.records().isEmpty());
    EXPECT_TRUE(QFileInfo::exists(kept));
}
