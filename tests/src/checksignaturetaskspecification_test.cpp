#include "checksignaturetaskspecification.h"
#include "cryptwrapper.h"
#include "eventloop.h"
#include "signaturetestutil.h"
#include "testpaths.h"

#include <QMap>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

const char* const emptyDigest =
    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
    "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e";

// Records every signal of a task, in order, as short texts.
class TaskLog
{
public:
    explicit TaskLog(CheckSignatureTaskSpecification* task)
    {
        QObject::connect(task, &CheckSignatureTaskSpecification::checkDone,
                         [this, task](bool pass, CheckSignatureTaskSpecification* t) {
                             events << QString("checkDone %1%2").arg(pass ? "true" : "false",
                                                                      t == task ? "" : " other");
                         });
        QObject::connect(task, &TaskSpecification::message,
                         [this](const QString& text) { events << "message " + text; });
        QObject::connect(task, &TaskSpecification::error,
                         [this](const QString& text) { events << "error " + text; });
        QObject::connect(task, &TaskSpecification::finished,
                         [this](TaskSpecification*) { events << "finished"; });
        QObject::connect(task, &TaskSpecification::canceled,
                         [this](TaskSpecification*) { events << "canceled"; });
    }

    bool ended() const { return events.contains("finished") || events.contains("canceled"); }

    QStringList events;
};

class CheckSignatureTask : public ::testing::Test
{
protected:
    void SetUp() override
    {
        crypt_init();
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(vxtest::writeFile(path("empty"), QByteArray()));
    }

    QString path(const char* name) const { return dir.filePath(name); }

    QStringList runTask(const QString& file, const QString& sha512, bool failOnMismatch, int& state)
    {
        CheckSignatureTaskSpecification task(file, sha512, failOnMismatch, nullptr, 0.5);
        TaskLog log(&task);
        task.execute();
        EXPECT_TRUE(vxtest::runUntil([&] { return log.ended(); }, 10000));
        vxtest::drainEvents();
        state = task.getState();
        EXPECT_EQ(task.getProgress(), state == TaskSpecification::TASK_FINISHED ? 0.5 : 0.0);
        return log.events;
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(CheckSignatureTask, VerdictAndEndStateByFailOnMismatch)
{
    const QString failed = "message Signature check failed for " + path("empty");
    const struct {
        const char* name;
        QString sha512;
        bool failOnMismatch;
        QStringList events;
        int state;
    } cases[] = {
        {"match, fail on mismatch", emptyDigest, true, {"checkDone true", "finished"},
         TaskSpecification::TASK_FINISHED},
        {"match, report only", emptyDigest, false, {"checkDone true", "finished"},
         TaskSpecification::TASK_FINISHED},
        {"mismatch, fail on mismatch", QString(128, '0'), true,
         {failed, "checkDone false", "canceled"}, TaskSpecification::TASK_FAILED},
        {"mismatch, report only", QString(128, '0'), false,
         {failed, "checkDone false", "finished"}, TaskSpecification::TASK_FINISHED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int state = -1;
        EXPECT_EQ(runTask(path("empty"), c.sha512, c.failOnMismatch, state), c.events);
        EXPECT_EQ(state, c.state);
    }
}

TEST_F(CheckSignatureTask, UnreadableFileReportsReasonThenVerdict)
{
    const QString missing = path("missing");
    int state = -1;
    const QStringList events = runTask(missing, QString(), true, state);
    EXPECT_EQ(events, (QStringList{"message Could not open file " + missing + " for reading",
                                   "message Signature check failed for " + missing,
                                   "checkDone false", "canceled"}));
    EXPECT_EQ(state, TaskSpecification::TASK_FAILED);
}

TEST_F(CheckSignatureTask, ResultAfterResetIsDropped)
{
    CheckSignatureTaskSpecification task(path("empty"), emptyDigest, true, nullptr, 1.0);
    TaskLog log(&task);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_RUNNING);
    task.reset(); // waits for the worker; its result is queued behind
    vxtest::runFor(50);
    EXPECT_TRUE(log.events.isEmpty()) << log.events.join('|').toStdString();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_IDLE);

    // The task runs again after the reset and gives one verdict.
    task.execute();
    EXPECT_TRUE(vxtest::runUntil([&] { return log.ended(); }, 10000));
    vxtest::drainEvents();
    EXPECT_EQ(log.events, (QStringList{"checkDone true", "finished"}));
}

TEST_F(CheckSignatureTask, ChecksRunningAtOnceKeepTheirOwnVerdicts)
{
    if (vxtest::readFile(sigtest::builtinKeySourcePath()) !=
        vxtest::readFile(sigtest::developmentPublicKeyPath()))
        GTEST_SKIP() << "built with another public key";
    const QString good = dir.filePath("good.ini");
    const QString bad = dir.filePath("bad.ini");
    ASSERT_TRUE(vxtest::writeFile(good, QByteArray(50000, 'g')));
    ASSERT_TRUE(vxtest::writeFile(bad, QByteArray(50000, 'b')));
    ASSERT_TRUE(sigtest::opensslSign(sigtest::developmentPrivateKeyPath(), good, good + ".sig"));
    ASSERT_TRUE(vxtest::writeFile(bad + ".sig", vxtest::readFile(good + ".sig")));

    std::vector<std::unique_ptr<CheckSignatureTaskSpecification>> tasks;
    QMap<CheckSignatureTaskSpecification*, bool> verdicts;
    for (int i = 0; i < 8; ++i) {
        tasks.emplace_back(new CheckSignatureTaskSpecification(i % 2 ? bad : good, QString(), false,
                                                               nullptr, 0.125));
        QObject::connect(tasks.back().get(), &CheckSignatureTaskSpecification::checkDone,
                         [&](bool pass, CheckSignatureTaskSpecification* t) { verdicts[t] = pass; });
    }
    for (auto& task : tasks)
        task->execute();
    EXPECT_TRUE(vxtest::runUntil([&] { return verdicts.size() == 8; }, 20000));
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(verdicts.contains(tasks[i].get()));
        EXPECT_EQ(verdicts.value(tasks[i].get()), i % 2 == 0);
        EXPECT_EQ(tasks[i]->getState(), TaskSpecification::TASK_FINISHED);
    }
}
