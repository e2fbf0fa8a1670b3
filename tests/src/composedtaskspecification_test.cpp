#include "composedtaskspecification.h"

#include "eventloop.h"
#include "testtasks.h"

#include <QEvent>
#include <QSet>
#include <QSignalSpy>
#include <gtest/gtest.h>

using vxtest::EventLog;
using vxtest::ManualComposed;
using vxtest::ManualTask;

namespace {

// Counts the queued calls delivered to one object, so a test can tell which event did what.
class EventCounter : public QObject
{
public:
    explicit EventCounter(QObject* watched) { watched->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MetaCall)
            ++count;
        return false;
    }
    int count = 0;
};

QList<ManualTask*> addTasks(ManualComposed& composed, int n)
{
    QList<ManualTask*> tasks;
    for (int i = 0; i < n; ++i)
        tasks << composed.add(QString("t%1").arg(i), 1.0 / n);
    return tasks;
}

int countInState(const QList<ManualTask*>& tasks, int state)
{
    int n = 0;
    for (const ManualTask* t : tasks)
        n += t->getState() == state;
    return n;
}

ManualTask* firstRunning(const QList<ManualTask*>& tasks)
{
    for (ManualTask* t : tasks)
        if (t->getState() == TaskSpecification::TASK_RUNNING)
            return t;
    return nullptr;
}

} // namespace

TEST(ComposedTaskSpecification, EmptyTaskSucceedsWithinExecute)
{
    ManualComposed composed(3);
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    composed.execute();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(composed.getProgress(), 1.0);
}

TEST(ComposedTaskSpecification, WindowNeverExceedsMaxParallelAndStartsOneEventApart)
{
    for (int maxParallel : {1, 2, 3, 7}) {
        SCOPED_TRACE(maxParallel);
        ManualComposed composed(maxParallel);
        const QList<ManualTask*> tasks = addTasks(composed, 5);
        EventCounter events(&composed);
        QList<int> startEvents;
        QStringList startOrder;
        int mostRunning = 0;
        for (ManualTask* t : tasks) {
            t->onExecute = [&](ManualTask* self) {
                startEvents << events.count;
                startOrder << self->name;
                mostRunning = std::max(mostRunning, countInState(tasks, TaskSpecification::TASK_RUNNING));
            };
        }
        QSignalSpy finished(&composed, &TaskSpecification::finished);

        composed.execute();
        EXPECT_TRUE(startEvents.isEmpty()) << "no sub-task may start inside execute";
        vxtest::drainEvents();
        EXPECT_EQ(startEvents.size(), std::min(5, maxParallel));

        // End the oldest running task each round; exactly one more starts, one event later.
        while (ManualTask* oldest = firstRunning(tasks)) {
            const int startedBefore = startEvents.size();
            oldest->finish();
            EXPECT_EQ(startEvents.size(), startedBefore) << "the next start must wait for an event";
            vxtest::drainEvents();
            const int expected = std::min(5, startedBefore + 1);
            EXPECT_EQ(startEvents.size(), expected);
        }
        EXPECT_LE(mostRunning, maxParallel);
        EXPECT_EQ(startOrder, QStringList({"t0", "t1", "t2", "t3", "t4"}));
        QSet<int> distinct(startEvents.begin(), startEvents.end());
        EXPECT_EQ(distinct.size(), startEvents.size()) << "two starts shared one event";
        EXPECT_EQ(finished.count(), 1);
        EXPECT_EQ(composed.getState(), TaskSpecification::TASK_FINISHED);
    }
}

TEST(ComposedTaskSpecification, NonPositiveWindowEndsInsteadOfHanging)
{
    for (int maxParallel : {0, -2}) {
        SCOPED_TRACE(maxParallel);
        ManualComposed composed(maxParallel);
        ManualTask* task = composed.add("only");
        QSignalSpy ended(&composed, &TaskSpecification::canceled);
        composed.execute();
        vxtest::drainEvents();
        EXPECT_EQ(ended.count(), 1);
        EXPECT_EQ(task->executeCount, 0);
        EXPECT_NE(composed.getState(), TaskSpecification::TASK_RUNNING);
    }
}

// Runs all sub-tasks at once, ends them in the given order, and checks the composed outcome.
TEST(ComposedTaskSpecification, OutcomeFailedBeatsCanceledBeatsFinished)
{
    enum End { Finish, Fail, Cancel };
    struct Case {
        const char* name;
        QList<End> ends;
        bool userCancel;
        int expected;
    };
    const Case cases[] = {
        {"all finish", {Finish, Finish, Finish}, false, TaskSpecification::TASK_FINISHED},
        {"one cancelled", {Finish, Cancel, Finish}, false, TaskSpecification::TASK_CANCELED},
        {"failed after cancelled", {Cancel, Fail, Finish}, false, TaskSpecification::TASK_FAILED},
        {"failed before cancelled", {Fail, Cancel, Finish}, false, TaskSpecification::TASK_FAILED},
        {"failed despite user cancel", {Finish, Fail, Finish}, true, TaskSpecification::TASK_FAILED},
        {"user cancel, all finish", {Finish, Finish, Finish}, true, TaskSpecification::TASK_FINISHED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualComposed composed(3);
        const QList<ManualTask*> tasks = addTasks(composed, 3);
        composed.execute();
        vxtest::drainEvents();
        ASSERT_EQ(countInState(tasks, TaskSpecification::TASK_RUNNING), 3);
        if (c.userCancel)
            composed.cancel();
        QSignalSpy finished(&composed, &TaskSpecification::finished);
        QSignalSpy canceled(&composed, &TaskSpecification::canceled);
        for (int i = 0; i < 3; ++i) {
            switch (c.ends[i]) {
            case Finish: tasks[i]->finish(); break;
            case Fail: tasks[i]->failNow(); break;
            case Cancel: tasks[i]->cancelNow(); break;
            }
        }
        vxtest::drainEvents();
        EXPECT_EQ(finished.count() + canceled.count(), 1) << "the task must end exactly once";
        EXPECT_EQ(composed.getState(), c.expected);
        EXPECT_EQ(finished.count() == 1, c.expected == TaskSpecification::TASK_FINISHED);
    }
}

TEST(ComposedTaskSpecification, FailureStopsPendingTasksAndEndsWhenLastRunningEnds)
{
    ManualComposed composed(2);
    const QList<ManualTask*> tasks = addTasks(composed, 5);
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);
    composed.execute();
    vxtest::drainEvents();
    tasks[0]->failNow();
    vxtest::drainEvents();
    EXPECT_EQ(canceled.count(), 0) << "a sibling still runs";
    EXPECT_EQ(tasks[1]->getState(), TaskSpecification::TASK_RUNNING);

    tasks[1]->finish();
    vxtest::drainEvents();
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_FAILED);
    for (int i = 2; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tasks[i]->executeCount, 0);
        EXPECT_EQ(tasks[i]->getState(), TaskSpecification::TASK_IDLE);
    }
}

TEST(ComposedTaskSpecification, UserCancelOfBackgroundWorkEndsCanceledWithoutStartingMore)
{
    // Sub-tasks that cannot be stopped: they finish normally after the request.
    ManualComposed composed(2);
    const QList<ManualTask*> tasks = addTasks(composed, 4);
    composed.execute();
    vxtest::drainEvents();
    composed.cancel();
    tasks[0]->finish();
    tasks[1]->finish();
    vxtest::drainEvents();
    EXPECT_EQ(tasks[2]->executeCount, 0);
    EXPECT_EQ(tasks[3]->executeCount, 0);
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_CANCELED);
}

TEST(ComposedTaskSpecification, CancelAfterAllFinishedStillSucceeds)
{
    ManualComposed composed(1);
    const QList<ManualTask*> tasks = addTasks(composed, 2);
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    composed.execute();
    vxtest::drainEvents();
    tasks[0]->finish();
    vxtest::drainEvents();
    tasks[1]->finish();
    // The composed task learns that nothing is left one event later; the request arrives first.
    composed.cancel();
    EXPECT_TRUE(tasks[1]->isCancelRequested());
    vxtest::drainEvents();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_FINISHED);
}

TEST(ComposedTaskSpecification, FirstEndWithoutSuccessIsBroadcastOnceToRunningSiblings)
{
    ManualComposed composed(4);
    const QList<ManualTask*> tasks = addTasks(composed, 5);
    composed.execute();
    vxtest::drainEvents();
    tasks[3]->finish();
    vxtest::drainEvents(); // lets t4 start, so four run

    tasks[1]->failNow();
    // Delivered synchronously, before fail() returned, to the running siblings only.
    for (int i : {0, 2, 4}) {
        SCOPED_TRACE(i);
        ASSERT_EQ(tasks[i]->aborts.size(), 1);
        EXPECT_EQ(tasks[i]->aborts.at(0), tasks[1]);
    }
    EXPECT_TRUE(tasks[1]->aborts.isEmpty());
    EXPECT_TRUE(tasks[3]->aborts.isEmpty()) << "an ended sibling is not told";

    tasks[2]->cancelNow();
    tasks[0]->failNow();
    EXPECT_EQ(tasks[4]->aborts.size(), 1) << "later failures must not broadcast again";
    tasks[4]->finish();
    vxtest::drainEvents();
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_FAILED);
}

TEST(ComposedTaskSpecification, UserCancelOfParallelDownloadsEndsFailed)
{
    // Like downloads: a running task cancels itself on request and fails when a sibling aborts it.
    ManualComposed composed(3);
    const QList<ManualTask*> tasks = addTasks(composed, 4);
    for (ManualTask* t : tasks) {
        t->onCancel = [](ManualTask* self) {
            if (self->getState() == TaskSpecification::TASK_RUNNING)
                self->cancelNow();
        };
        t->onAbort = [](ManualTask* self) { self->failNow(); };
    }
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);
    composed.execute();
    vxtest::drainEvents();
    composed.cancel();
    vxtest::drainEvents();
    EXPECT_EQ(tasks[0]->getState(), TaskSpecification::TASK_CANCELED);
    EXPECT_EQ(tasks[1]->getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(tasks[2]->getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(tasks[3]->executeCount, 0);
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_FAILED);
}

TEST(ComposedTaskSpecification, AbortFromAboveReachesRunningSubTasks)
{
    ManualComposed composed(2);
    const QList<ManualTask*> tasks = addTasks(composed, 3);
    composed.execute();
    vxtest::drainEvents();
    ManualTask stranger(nullptr);
    composed.abortOnOtherCancel(&stranger);
    EXPECT_EQ(tasks[0]->aborts, QList<TaskSpecification*>{&stranger});
    EXPECT_EQ(tasks[1]->aborts, QList<TaskSpecification*>{&stranger});
    EXPECT_TRUE(tasks[2]->aborts.isEmpty());
}

TEST(ComposedTaskSpecification, ProgressIsWeightTimesSumOfSubTaskProgress)
{
    ManualComposed composed(2, 0.4);
    ManualTask* a = composed.add("a", 0.5);
    ManualTask* b = composed.add("b", 0.5);
    QSignalSpy progress(&composed, &TaskSpecification::updateProgress);
    composed.execute();
    vxtest::drainEvents();
    a->progressTo(0.5);
    EXPECT_DOUBLE_EQ(composed.getProgress(), 0.4 * 0.25);
    b->finish();
    EXPECT_DOUBLE_EQ(composed.getProgress(), 0.4 * 0.75);
    ASSERT_GE(progress.count(), 2);
    EXPECT_DOUBLE_EQ(progress.last().at(0).toDouble(), 0.4 * 0.75);
    a->finish();
    vxtest::drainEvents();
    EXPECT_DOUBLE_EQ(composed.getProgress(), 0.4);
}

TEST(ComposedTaskSpecification, RelaysTextsUnchanged)
{
    ManualComposed composed(1);
    ManualTask* task = composed.add("a");
    EventLog log(&composed);
    composed.execute();
    vxtest::drainEvents();
    task->say("Downloading x");
    task->complain("bad x");
    EXPECT_EQ(log.lines, QStringList({"message:Downloading x", "error:bad x"}));
}

TEST(ComposedTaskSpecification, DownloadFiguresSkipUnknownSizesButAddTheirSpeed)
{
    ManualComposed composed(3);
    ManualTask* known = composed.add("known");
    ManualTask* unknown = composed.add("unknown");
    composed.add("idle");
    known->statDone = 10;
    known->statTotal = 100;
    known->statSpeed = 5;
    unknown->statDone = 3;
    unknown->statSpeed = 7;
    unknown->statDownloading = true;
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    composed.getDownloadStats(done, total, speed, downloading);
    EXPECT_EQ(done, 10u);
    EXPECT_EQ(total, 100u);
    EXPECT_EQ(speed, 12u);
    EXPECT_TRUE(downloading);
}

TEST(ComposedTaskSpecification, ResetRunsTheSameSubTasksAgainInOrder)
{
    ManualComposed composed(1);
    const QList<ManualTask*> tasks = addTasks(composed, 3);
    QStringList order;
    for (ManualTask* t : tasks)
        t->onExecute = [&](ManualTask* self) { order << self->name; };
    composed.execute();
    vxtest::drainEvents();
    tasks[0]->failNow();
    vxtest::drainEvents();
    ASSERT_EQ(composed.getState(), TaskSpecification::TASK_FAILED);

    composed.reset();
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_IDLE);
    EXPECT_EQ(composed.getProgress(), 0.0);
    EXPECT_FALSE(composed.sawCancel());
    EXPECT_EQ(countInState(tasks, TaskSpecification::TASK_IDLE), 3);

    composed.execute();
    for (ManualTask* t : tasks) {
        vxtest::drainEvents();
        t->finish();
    }
    vxtest::drainEvents();
    EXPECT_EQ(order, QStringList({"t0", "t0", "t1", "t2"}));
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_FINISHED);
}

TEST(ComposedTaskSpecification, SubTaskEndingInsideExecuteIsHandled)
{
    // A fast file operation ends within its execute, re-entering the composed task.
    ManualComposed composed(1);
    const QList<ManualTask*> tasks = addTasks(composed, 3);
    for (ManualTask* t : tasks)
        t->onExecute = [](ManualTask* self) { self->finish(); };
    tasks[1]->onExecute = [](ManualTask* self) { self->failNow(); };
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);
    composed.execute();
    vxtest::drainEvents();
    EXPECT_EQ(canceled.count(), 1);
    EXPECT_EQ(composed.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(tasks[2]->executeCount, 0);
}

TEST(ComposedTaskSpecification, ASecondEndOfTheSameSubTaskDoesNotWidenTheWindow)
{
    ManualComposed composed(1);
    const QList<ManualTask*> tasks = addTasks(composed, 3);
    composed.execute();
    vxtest::drainEvents();
    tasks[0]->finish();
    tasks[0]->finish();
    vxtest::drainEvents();
    EXPECT_EQ(tasks[1]->executeCount, 1);
    EXPECT_EQ(tasks[2]->executeCount, 0);
}
