#include "filetaskspecification_patch.h"

#include "ensembletesthelpers.h"
#include "eventloop.h"
#include "rollbackdatalist.h"
#include "testpaths.h"
#include "testtasks.h"

#include <QCoreApplication>
#include <QFile>
#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using vxtest::Bytes;
using vxtest::EventLog;
using vxtest::RandomBytes;
using vxtest::runToEnd;
using vxtest::ToQByteArray;

namespace {

// Collects the debug lines written while it lives, from any thread, with the thread of each.
class DebugCapture
{
public:
    DebugCapture()
    {
        current = this;
        previous = qInstallMessageHandler(&DebugCapture::handle);
    }
    ~DebugCapture()
    {
        qInstallMessageHandler(previous);
        current = nullptr;
    }

    QStringList lines() const
    {
        QMutexLocker lock(&mutex);
        return captured;
    }
    bool fromOtherThread(const QString& prefix) const
    {
        QMutexLocker lock(&mutex);
        for (int i = 0; i < captured.size(); ++i) {
            if (captured[i].startsWith(prefix))
                return threads[i] != QCoreApplication::instance()->thread();
        }
        return false;
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        QMutexLocker lock(&current->mutex);
        current->captured << text;
        current->threads << QThread::currentThread();
    }

    static DebugCapture* current;
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList captured;
    QList<QThread*> threads;
};

DebugCapture* DebugCapture::current = nullptr;

// Old file, new file and patch in a temporary folder.
class PatchTask : public ::testing::Test
{
protected:
    void SetUp() override
    {
        oldData = RandomBytes(5000, 11);
        newData = oldData;
        newData.insert(newData.begin() + 1000, 40, 0x33);
        src = tmp.filePath("installed.so");
        dst = tmp.filePath("patched.so");
        patchPath = tmp.filePath("installed.so.patch");
        ASSERT_TRUE(vxtest::writeFile(src, ToQByteArray(oldData)));
        ASSERT_TRUE(vxtest::MakeEnsembleParts(oldData, newData, vxtest::EnsembleWriterOptions{false, 0},
                                              &header, &body));
    }

    void writePatch(const vxtest::EnsembleHeader& h, const Bytes& bodyBytes)
    {
        Bytes patch;
        ASSERT_TRUE(vxtest::PackEnsemblePatchStored(h, bodyBytes, &patch));
        ASSERT_TRUE(vxtest::writeFile(patchPath, ToQByteArray(patch)));
    }

    QTemporaryDir tmp;
    Bytes oldData;
    Bytes newData;
    QString src;
    QString dst;
    QString patchPath;
    vxtest::EnsembleHeader header;
    vxtest::EnsembleBody body;
};

TEST_F(PatchTask, PatchesOnThePoolAndRecordsTheNewFile)
{
    writePatch(header, vxtest::BodyStreamSet(body));
    DebugCapture debug;
    RollbackDataList journal;
    FileTaskSpecification_patch task(&journal, src, patchPath, dst, nullptr, 0.25);
    EventLog log(&task);
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.25);
    EXPECT_EQ(log.lines, QStringList({"finished"}));
    EXPECT_EQ(vxtest::readFile(dst), ToQByteArray(newData));
    ASSERT_EQ(journal.records().size(), 1);
    EXPECT_EQ(journal.records().first().op, RollbackData::FILE_CREATED);
    EXPECT_EQ(journal.records().first().path, dst);

    const QStringList lines = debug.lines();
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0], QString("FileTaskSpecification_patch srcFile: \"%1\" patchFile: \"%2\" dstFile: \"%3\"")
                            .arg(src, patchPath, dst));
    EXPECT_EQ(lines[1], QString("ApplyEnsemblePatch status = 1 %1 %2 %3").arg(src, patchPath, dst));
    EXPECT_EQ(lines[2], "Patch result true");
    EXPECT_TRUE(debug.fromOtherThread("Patch result"));
}

TEST_F(PatchTask, FailuresReportTheirTextAndLeaveNoFile)
{
    const Bytes goodBody = vxtest::BodyStreamSet(body);
    struct Case {
        const char* name;
        vxtest::EnsembleHeader header;
        Bytes body;
        int status;
        const char* reason;  // the second debug line, or null for none
    };
    vxtest::EnsembleHeader badMagic = header;
    badMagic.magic = 1;
    vxtest::EnsembleHeader badVersion = header;
    badVersion.version = 2;
    vxtest::EnsembleHeader wrongOld = header;
    wrongOld.sourceChecksum ^= 1;
    const Case cases[] = {
        {"not a patch", badMagic, goodBody, 5, "Not a vxpatch patch"},
        {"wrong version", badVersion, goodBody, 6, "Wrong version patch"},
        {"no elements", header, Bytes(), 20, "Stream error (likely out of memory or disk space)"},
        {"wrong old file", wrongOld, goodBody, 8, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writePatch(c.header, c.body);
        DebugCapture debug;
        RollbackDataList journal;
        FileTaskSpecification_patch task(&journal, src, patchPath, dst, nullptr, 1.0);
        EventLog log(&task);
        ASSERT_TRUE(runToEnd(task));
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(log.lines, QStringList({"message:Could not patch '" + src + "' to '" + dst + "'",
                                          "canceled"}));
        EXPECT_FALSE(QFile::exists(dst));
        EXPECT_TRUE(journal.records().isEmpty());

        QStringList expected = {QString("ApplyEnsemblePatch status = %1 %2 %3 %4")
                                    .arg(c.status).arg(src, patchPath, dst)};
        if (c.reason)
            expected << c.reason;
        expected << "Patch result false";
        EXPECT_EQ(debug.lines().mid(1), expected);
    }
}

TEST_F(PatchTask, EmptyInstalledFilePatchesLikeAnyOther)
{
    ASSERT_TRUE(vxtest::writeFile(src, QByteArray()));
    ASSERT_TRUE(vxtest::MakeEnsembleParts(Bytes(), newData, vxtest::EnsembleWriterOptions{false, 0},
                                          &header, &body));
    writePatch(header, vxtest::BodyStreamSet(body));
    DebugCapture debug;
    RollbackDataList journal;
    FileTaskSpecification_patch task(&journal, src, patchPath, dst, nullptr, 1.0);
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(vxtest::readFile(dst), ToQByteArray(newData));
    EXPECT_TRUE(debug.lines().contains(
        QString("ApplyEnsemblePatch status = 1 %1 %2 %3").arg(src, patchPath, dst)));
    EXPECT_EQ(journal.records().size(), 1);
}

TEST_F(PatchTask, CutHeaderIsACorruptPatch)
{
    Bytes patch;
    ASSERT_TRUE(vxtest::PackEnsemblePatchStored(header, vxtest::BodyStreamSet(body), &patch));
    patch.resize(8);  // magic and version only
    ASSERT_TRUE(vxtest::writeFile(patchPath, ToQByteArray(patch)));
    DebugCapture debug;
    FileTaskSpecification_patch task(nullptr, src, patchPath, dst, nullptr, 1.0);
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_TRUE(debug.lines().contains("Corrupt patch"));
    EXPECT_FALSE(QFile::exists(dst));
}

TEST_F(PatchTask, RebuildsAnExecutableThroughItsElement)
{
    oldData = vxtest::ToBytes(vxtest::readFile(vxtest::corpusDir() + "/elf32-x86/gcc-386-freebsd-exec"));
    ASSERT_FALSE(oldData.empty());
    newData = oldData;
    newData[newData.size() / 3] ^= 0x40;
    ASSERT_TRUE(vxtest::writeFile(src, ToQByteArray(oldData)));
    std::vector<vxtest::EnsembleElement> elements;
    Bytes patch;
    ASSERT_TRUE(vxtest::MakeEnsembleParts(oldData, newData, vxtest::EnsembleWriterOptions{}, &header,
                                          &body, &elements));
    ASSERT_EQ(elements.size(), 1u);
    writePatch(header, vxtest::BodyStreamSet(body));
    RollbackDataList journal;
    FileTaskSpecification_patch task(&journal, src, patchPath, dst, nullptr, 1.0);
    ASSERT_TRUE(runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(vxtest::readFile(dst), ToQByteArray(newData));
    EXPECT_EQ(journal.records().size(), 1);
}

} // namespace
