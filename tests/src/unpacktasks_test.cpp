#include "fileunpackfunc_zip.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include "eventloop.h"
#include "lzmafile.h"
#include "rollbackdatalist.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <random>

using vxtest::EventLog;

namespace {

// Starts the task, checks that its work went to the pool (the result arrives only through
// the event loop), then waits for the end.
bool runOnPoolToEnd(TaskSpecification& task)
{
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_RUNNING);
    return vxtest::runUntil([&] { return finished.count() + canceled.count() > 0; });
}

QByteArray gzipWithTool(const QByteArray& data)
{
    return vxtest::gzipped(data, {"-9"});
}

// Whether the gzip tool itself accepts the file.
bool gzipToolAccepts(const QString& path)
{
    return QProcess::execute("gzip", {"-t", path}) == 0;
}

QByteArray sampleData()
{
    std::mt19937 rng(8);
    QByteArray data;
    for (int i = 0; i < 60000; ++i)
        data.append(static_cast<char>(rng() % 7 == 0 ? rng() : 'v'));
    return data;
}

std::string utf8(const QString& path)
{
    return path.toUtf8().toStdString();
}

} // namespace

TEST(FileUnpackTaskSpecification_lzma2, UnpacksOnThePoolAndRecordsTheNewFile)
{
    QTemporaryDir tmp;
    const QByteArray data = sampleData();
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("lib.so"), data));
    const QString src = tmp.filePath("lib.so._lzma2_");
    const QString dst = tmp.filePath("out/lib.so");
    ASSERT_TRUE(QDir().mkpath(tmp.filePath("out")));
    ASSERT_TRUE(vxpatch::PackLzmaFile(utf8(tmp.filePath("lib.so")), utf8(src), false));

    RollbackDataList journal;
    FileUnpackTaskSpecification_lzma2 task(&journal, src, dst, nullptr, 0.25);
    ASSERT_TRUE(runOnPoolToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.25);
    EXPECT_EQ(vxtest::readFile(dst), data);
    ASSERT_EQ(journal.records().size(), 1);
    EXPECT_EQ(journal.records().first().op, RollbackData::FILE_CREATED);
    EXPECT_EQ(journal.records().first().path, dst);
}

TEST(FileUnpackTaskSpecification_lzma2, BadContainersFailWithTheirTextAndLeaveNothing)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("plain"), sampleData()));
    ASSERT_TRUE(
        vxpatch::PackLzmaFile(utf8(tmp.filePath("plain")), utf8(tmp.filePath("good")), false));
    QByteArray corrupt = vxtest::readFile(tmp.filePath("good"));
    corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x20);
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("corrupt"), corrupt));
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("notpacked"), "just text"));

    for (const char* name : {"corrupt", "notpacked", "missing"}) {
        SCOPED_TRACE(name);
        const QString src = tmp.filePath(name);
        const QString dst = tmp.filePath(QString(name) + ".out");
        RollbackDataList journal;
        FileUnpackTaskSpecification_lzma2 task(&journal, src, dst, nullptr, 1.0);
        EventLog log(&task);
        ASSERT_TRUE(runOnPoolToEnd(task));
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(log.lines,
            QStringList({"message:Could not unpack '" + src + "' to '" + dst + "'", "canceled"}));
        EXPECT_TRUE(journal.records().isEmpty());
        EXPECT_FALSE(QFileInfo::exists(dst));
    }
}

TEST(FileUnpackTaskSpecification_zip, GunzipsWhatTheGzipToolPackedAndRecordsIt)
{
    QTemporaryDir tmp;
    const QByteArray data = sampleData();
    const QString src = tmp.filePath("update.gz");
    const QString dst = tmp.filePath("update");
    ASSERT_TRUE(vxtest::writeFile(src, gzipWithTool(data)));
    // Left over from an earlier attempt: replaced, not appended to.
    ASSERT_TRUE(vxtest::writeFile(dst, QByteArray(100000, 'x')));

    RollbackDataList journal;
    FileUnpackTaskSpecification_zip task(&journal, src, dst, nullptr, 0.5);
    ASSERT_TRUE(runOnPoolToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.5);
    EXPECT_EQ(vxtest::readFile(dst), data);
    ASSERT_EQ(journal.records().size(), 1);
    EXPECT_EQ(journal.records().first().op, RollbackData::FILE_CREATED);
    EXPECT_EQ(journal.records().first().path, dst);
}

TEST(FileUnpackTaskSpecification_zip, EmptyGzipStreamGivesEmptyFile)
{
    QTemporaryDir tmp;
    const QString src = tmp.filePath("empty.gz");
    const QByteArray packed = gzipWithTool(QByteArray());
    ASSERT_FALSE(packed.isEmpty());
    ASSERT_TRUE(vxtest::writeFile(src, packed));
    FileUnpackTaskSpecification_zip task(nullptr, src, tmp.filePath("empty"), nullptr, 1.0);
    ASSERT_TRUE(runOnPoolToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_TRUE(QFileInfo::exists(tmp.filePath("empty")));
    EXPECT_EQ(QFileInfo(tmp.filePath("empty")).size(), 0);
}

TEST(FileUnpackTaskSpecification_zip, FailedGunzipLeavesNoFileAndRecordsNothing)
{
    QTemporaryDir tmp;
    const QByteArray packed = gzipWithTool(sampleData());
    ASSERT_GT(packed.size(), 100);
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("truncated.gz"), packed.left(packed.size() / 2)));
    QByteArray badCrc = packed;
    badCrc[badCrc.size() - 6] = static_cast<char>(badCrc[badCrc.size() - 6] ^ 1);
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("badcrc.gz"), badCrc));
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("good.gz"), packed));
    // The gzip tool agrees that the damaged files are bad.
    EXPECT_FALSE(gzipToolAccepts(tmp.filePath("truncated.gz")));
    EXPECT_FALSE(gzipToolAccepts(tmp.filePath("badcrc.gz")));

    struct Case {
        const char* name;
        QString src;
        QString dst;
    };
    const Case cases[] = {
        {"truncated", tmp.filePath("truncated.gz"), tmp.filePath("truncated")},
        {"checksum wrong", tmp.filePath("badcrc.gz"), tmp.filePath("badcrc")},
        {"source missing", tmp.filePath("absent.gz"), tmp.filePath("absent")},
        {"target folder missing", tmp.filePath("good.gz"), tmp.filePath("no/dir/good")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RollbackDataList journal;
        FileUnpackTaskSpecification_zip task(&journal, c.src, c.dst, nullptr, 1.0);
        EventLog log(&task);
        ASSERT_TRUE(runOnPoolToEnd(task));
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(log.lines,
            QStringList(
                {"message:Could not unzip '" + c.src + "' to '" + c.dst + "'", "canceled"}));
        EXPECT_TRUE(journal.records().isEmpty());
        EXPECT_FALSE(QFileInfo::exists(c.dst));
    }
}

TEST(GunzipFile, RemovesItsOutputWhenTheStreamBreaks)
{
    QTemporaryDir tmp;
    const QByteArray packed = gzipWithTool(sampleData());
    ASSERT_TRUE(vxtest::writeFile(tmp.filePath("cut.gz"), packed.left(packed.size() - 10)));
    EXPECT_FALSE(gunzipFile(tmp.filePath("cut"), tmp.filePath("cut.gz")));
    EXPECT_FALSE(QFileInfo::exists(tmp.filePath("cut")));
}
