#include "taskspecification.h"

#include "testtasks.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using vxtest::ManualTask;

namespace {

// Records the signals of a task as "progress:<value>", "finished", "canceled" in arrival order.
QStringList endSignals(ManualTask& task, const std::function<void()>& action)
{
    QStringList seen;
    QObject::connect(&task, &TaskSpecification::updateProgress,
                     [&](qreal p) { seen << QString("progress:%1").arg(p); });
    QObject::connect(&task, &TaskSpecification::finished, [&] { seen << "finished"; });
    QObject::connect(&task, &TaskSpecification::canceled, [&] { seen << "canceled"; });
    action();
    QObject::disconnect(&task, nullptr, nullptr, nullptr);
    return seen;
}

} // namespace

TEST(TaskSpecification, SucceedReportsFullWeightBeforeFinished)
{
    ManualTask task(nullptr, 0.25);
    task.execute();
    task.progressTo(0.5);
    const QStringList seen = endSignals(task, [&] { task.finish(); });
    EXPECT_EQ(seen, QStringList({"progress:0.25", "finished"}));
    EXPECT_EQ(task.getProgress(), 0.25);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
}

TEST(TaskSpecification, FailAndCancelEmitCanceledAndKeepProgress)
{
    struct Case {
        const char* name;
        std::function<void(ManualTask&)> end;
        int state;
    };
    const Case cases[] = {
        {"fail", [](ManualTask& t) { t.failNow(); }, TaskSpecification::TASK_FAILED},
        {"setCanceled", [](ManualTask& t) { t.cancelNow(); }, TaskSpecification::TASK_CANCELED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualTask task(nullptr, 0.5);
        task.execute();
        task.progressTo(0.5);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QSignalSpy canceledSpy(&task, &TaskSpecification::canceled);
        const QStringList seen = endSignals(task, [&] { c.end(task); });
        EXPECT_EQ(seen, QStringList({"canceled"}));
        ASSERT_EQ(canceledSpy.count(), 1);
        EXPECT_EQ(canceledSpy.at(0).at(0).value<TaskSpecification*>(), &task);
        EXPECT_EQ(messages.count(), 0);
        EXPECT_EQ(task.getProgress(), 0.25);
        EXPECT_EQ(task.getState(), c.state);
    }
}

TEST(TaskSpecification, ResetReturnsToIdleAndAlwaysReportsZero)
{
    ManualTask fresh(nullptr, 0.5);
    QSignalSpy freshSpy(&fresh, &TaskSpecification::updateProgress);
    fresh.reset();
    ASSERT_EQ(freshSpy.count(), 1);
    EXPECT_EQ(freshSpy.at(0).at(0).toDouble(), 0.0);

    ManualTask used(nullptr, 0.5);
    used.execute();
    used.cancel();
    used.progressTo(0.8);
    used.failNow();
    used.reset();
    EXPECT_EQ(used.getState(), TaskSpecification::TASK_IDLE);
    EXPECT_EQ(used.getProgress(), 0.0);
    EXPECT_FALSE(used.isCancelRequested());
}

TEST(TaskSpecification, CancelOnlySetsTheFlag)
{
    ManualTask idle(nullptr);
    idle.cancel();
    EXPECT_TRUE(idle.isCancelRequested());
    EXPECT_EQ(idle.getState(), TaskSpecification::TASK_IDLE);

    ManualTask running(nullptr);
    running.execute();
    QSignalSpy ends(&running, &TaskSpecification::canceled);
    running.TaskSpecification::cancel();
    EXPECT_EQ(running.getState(), TaskSpecification::TASK_RUNNING);
    EXPECT_EQ(ends.count(), 0);
}

TEST(TaskSpecification, SiblingCancelReachesOnlyARunningOtherTask)
{
    ManualTask sender(nullptr);
    ManualTask receiver(nullptr);

    QMetaObject::invokeMethod(&receiver, "onOtherTaskCancelled", Q_ARG(TaskSpecification*, &sender));
    EXPECT_TRUE(receiver.aborts.isEmpty()) << "idle task must ignore it";

    receiver.execute();
    QMetaObject::invokeMethod(&receiver, "onOtherTaskCancelled", Q_ARG(TaskSpecification*, &receiver));
    EXPECT_TRUE(receiver.aborts.isEmpty()) << "its own cancellation must be ignored";

    QMetaObject::invokeMethod(&receiver, "onOtherTaskCancelled", Q_ARG(TaskSpecification*, &sender));
    ASSERT_EQ(receiver.aborts.size(), 1);
    EXPECT_EQ(receiver.aborts.at(0), &sender);

    receiver.finish();
    QMetaObject::invokeMethod(&receiver, "onOtherTaskCancelled", Q_ARG(TaskSpecification*, &sender));
    EXPECT_EQ(receiver.aborts.size(), 1) << "an ended task must ignore it";
}

TEST(TaskSpecification, NonDownloadingTaskReportsZeroFigures)
{
    struct Plain : TaskSpecification {
        Plain() : TaskSpecification(nullptr, 1.0) {}
        void execute() override {}
    } task;
    quint64 done = 7, total = 8, speed = 9;
    bool downloading = true;
    task.getDownloadStats(done, total, speed, downloading);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(speed, 0u);
    EXPECT_FALSE(downloading);
}
