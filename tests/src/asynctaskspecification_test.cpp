#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"
#include "eventloop.h"
#include "testtasks.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>
#include <atomic>
#include <gtest/gtest.h>

using vxtest::EventLog;
using vxtest::ManualComposed;

namespace {

std::atomic<int> liveWorkers{0};

// Emits its texts and progress steps, optionally waits on a gate, then returns `result`.
class ScriptedFunc : public ASyncFunc
{
public:
    ScriptedFunc(QStringList texts, bool result, QSemaphore* started, QSemaphore* gate,
                 std::atomic<bool>* ended)
        : texts(std::move(texts)), result(result), started(started), gate(gate), ended(ended)
    {
        ++liveWorkers;
    }
    ~ScriptedFunc() override { --liveWorkers; }

    bool run() override
    {
        if (started)
            started->release();
        if (gate)
            gate->acquire();
        for (int i = 0; i < texts.size(); ++i) {
            emit message(texts[i]);
            emit progress(qreal(i + 1) / texts.size());
        }
        if (!result)
            emit error("worker gave up");
        if (ended)
            *ended = true;
        return result;
    }

private:
    QStringList texts;
    bool result;
    QSemaphore* started;
    QSemaphore* gate;
    std::atomic<bool>* ended;
};

class ScriptedTask : public ASyncTaskSpecification
{
public:
    ScriptedTask(QObject* parent, qreal weight)
        : ASyncTaskSpecification(parent, weight)
    {
    }
    ASyncFunc* createFunc() override
    {
        ++created;
        return new ScriptedFunc(texts, result, started, gate, ended);
    }

    QStringList texts;
    bool result = true;
    QSemaphore* started = nullptr;
    QSemaphore* gate = nullptr;
    std::atomic<bool>* ended = nullptr;
    int created = 0;
};

// A composed parent holding one background task, so the test sees what reaches the level above.
class OneTaskParent : public ManualComposed
{
public:
    OneTaskParent()
        : ManualComposed(1)
    {
        task = new ScriptedTask(this, 0.5);
        addTask(task);
    }
    ScriptedTask* task;
};

} // namespace

TEST(ASyncTaskSpecification, WorkerTextsArriveInOrderBeforeTheResult)
{
    OneTaskParent parent;
    parent.task->texts = QStringList({"one", "two", "three", "four"});
    EventLog log(&parent);
    QSignalSpy finished(&parent, &TaskSpecification::finished);
    parent.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 1));
    EXPECT_EQ(log.lines, QStringList({"message:one", "message:two", "message:three",
                                      "message:four", "finished"}));
    EXPECT_EQ(parent.task->getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(parent.task->getProgress(), 0.5);
    QThreadPool::globalInstance()->waitForDone(-1);
    EXPECT_EQ(liveWorkers, 0) << "the worker must be deleted after its run";
}

TEST(ASyncTaskSpecification, WorkerProgressMapsOntoTheWeight)
{
    QSemaphore gate;
    ScriptedTask task(nullptr, 0.4);
    task.texts = QStringList({"a", "b"});
    task.gate = &gate;
    QList<qreal> seen;
    QObject::connect(&task, &TaskSpecification::updateProgress, [&](qreal p) { seen << p; });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_RUNNING);
    gate.release();
    ASSERT_TRUE(vxtest::waitForCount(finished, 1));
    ASSERT_EQ(seen.size(), 3);
    EXPECT_DOUBLE_EQ(seen[0], 0.2);
    EXPECT_DOUBLE_EQ(seen[1], 0.4);
    EXPECT_DOUBLE_EQ(seen[2], 0.4);
}

TEST(ASyncTaskSpecification, FalseFromTheWorkerFailsTheTaskWithOnlyTheWorkersText)
{
    ScriptedTask task(nullptr, 1.0);
    task.result = false;
    EventLog log(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(canceled, 1));
    EXPECT_EQ(log.lines, QStringList({"error:worker gave up", "canceled"}));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
}

TEST(ASyncTaskSpecification, CancelDuringTheRunLetsTheResultDecide)
{
    for (bool result : {true, false}) {
        SCOPED_TRACE(result);
        QSemaphore gate;
        ScriptedTask task(nullptr, 1.0);
        task.result = result;
        task.gate = &gate;
        QSignalSpy finished(&task, &TaskSpecification::finished);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        task.execute();
        task.cancel();
        vxtest::drainEvents();
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_RUNNING);
        gate.release();
        ASSERT_TRUE(vxtest::runUntil([&] { return finished.count() + canceled.count() > 0; }));
        EXPECT_EQ(task.getState(), result ? TaskSpecification::TASK_FINISHED : TaskSpecification::TASK_FAILED);
    }
}

TEST(ASyncTaskSpecification, ResetWaitsForTheWorkerAndIgnoresItsLateResult)
{
    QSemaphore started;
    std::atomic<bool> ended{false};
    ScriptedTask task(nullptr, 1.0);
    task.texts = QStringList({"late"});
    task.started = &started;
    task.ended = &ended;
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    started.acquire();
    task.reset();
    EXPECT_TRUE(ended) << "reset must return only after the worker finished";
    vxtest::drainEvents();
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(canceled.count(), 0);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_IDLE);
    EXPECT_EQ(task.getProgress(), 0.0) << "a late progress report must not move an idle task";

    // A reset task runs again with a fresh worker.
    task.started = nullptr;
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 1));
    EXPECT_EQ(task.created, 2);
}

TEST(ASyncTaskSpecification, TaskDeletedWhileItsWorkerRunsIsSafe)
{
    QSemaphore gate;
    auto* task = new ScriptedTask(nullptr, 1.0);
    task->texts = QStringList({"orphan"});
    task->gate = &gate;
    task->execute();
    delete task;
    gate.release();
    QThreadPool::globalInstance()->waitForDone(-1);
    vxtest::drainEvents();
    EXPECT_EQ(liveWorkers, 0);
}

TEST(ASyncRun, RunsTheWorkerEmitsItsResultAndDeletesIt)
{
    std::atomic<bool> ended{false};
    auto* func = new ScriptedFunc({}, true, nullptr, nullptr, &ended);
    QSignalSpy result(func, &ASyncFunc::runResult);
    {
        ASyncRun run(func);
        EXPECT_TRUE(run.autoDelete());
        run.run();
        EXPECT_TRUE(ended);
        ASSERT_EQ(result.count(), 1);
        EXPECT_TRUE(result.at(0).at(0).toBool());
    }
    EXPECT_EQ(liveWorkers, 0);
}
