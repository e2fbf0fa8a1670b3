#include "composedtaskspecification.h"

#include <algorithm>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, qreal weight, QObject* parent)
    : TaskSpecification(parent, weight)
    , maxParallel(maxParallel)
{
    // Queued, so that every start is an event of its own and never runs inside startTasks().
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearTasks();
}

void ComposedTaskSpecification::addTask(TaskSpecification* task)
{
    tasks.append(task);
    pending.append(task);
    connectSubTask(task);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification* task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(task, &TaskSpecification::updateProgress, this,
            &ComposedTaskSpecification::onUpdateProgress);
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, task,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::clearTasks()
{
    for (TaskSpecification* task : qAsConst(tasks)) {
        disconnect(task, nullptr, this, nullptr);
        disconnect(this, nullptr, task, nullptr);
        task->deleteLater();
    }
    tasks.clear();
    pending.clear();
    running.clear();
    done.clear();
    // Subclasses reset by clearing and building afresh; stale flags would keep the next run
    // from ever ending.
    cancelSeen = false;
    completed = false;
}

void ComposedTaskSpecification::startTasks()
{
    state = TASK_RUNNING;
    const int n = std::min(pending.size(), maxParallel);
    // A window of zero (or a nonsensical negative one) could never start anything: end at once.
    if (n <= 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    if (!pending.isEmpty() && !cancelSeen && !cancelRequested) {
        TaskSpecification* task = pending.takeFirst();
        running.append(task);
        task->execute();
    } else if (running.isEmpty() && !completed) {
        completed = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* task)
{
    // A sub-task that is not running (ended twice, or reported after a reset) must not open
    // another slot in the window.
    if (!running.removeOne(task))
        return;
    done.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* task)
{
    if (!running.removeOne(task))
        return;
    done.append(task);
    if (!cancelSeen) {
        cancelSeen = true;
        emit otherTaskCancelled(task);
    }
    if (running.isEmpty() && !completed) {
        completed = true;
        subtasksDone();
    }
}

int ComposedTaskSpecification::computeOutcome() const
{
    bool anyCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification* task : tasks) {
        const int s = task->getState();
        if (s == TASK_FAILED)
            return TASK_FAILED;
        if (s == TASK_CANCELED)
            anyCanceled = true;
        else if (s != TASK_FINISHED)
            allFinished = false;
    }
    if (anyCanceled)
        return TASK_CANCELED;
    if (allFinished)
        return TASK_FINISHED;
    if (cancelRequested)
        return TASK_CANCELED;
    return cancelSeen ? TASK_FAILED : TASK_RUNNING;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (computeOutcome()) {
    case TASK_FINISHED:
        succeed();
        break;
    case TASK_CANCELED:
        setCanceled();
        break;
    default:
        fail();
        break;
    }
}

void ComposedTaskSpecification::onUpdateProgress(qreal doneFrac)
{
    qreal sum = 0;
    for (const TaskSpecification* task : qAsConst(tasks))
        sum += task->getProgress();
    setProgress(sum);
}

void ComposedTaskSpecification::getDownloadStats(quint64& downloadDone, quint64& downloadTotal,
                                                 quint64& speed, bool& downloading)
{
    downloading = false;
    for (TaskSpecification* task : qAsConst(tasks)) {
        quint64 taskDone = 0;
        quint64 taskTotal = 0;
        quint64 taskSpeed = 0;
        bool taskDownloading = false;
        task->getDownloadStats(taskDone, taskTotal, taskSpeed, taskDownloading);
        downloading = downloading || taskDownloading;
        speed += taskSpeed;
        // A download that does not know its size yet would distort the done/total ratio.
        if (taskTotal != 0) {
            downloadDone += taskDone;
            downloadTotal += taskTotal;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (state != TASK_RUNNING)
        return;
    // A copy: a sub-task that ends inside cancel() re-enters onSubTaskCanceled.
    const QList<TaskSpecification*> all = tasks;
    for (TaskSpecification* task : all)
        task->cancel();
}

void ComposedTaskSpecification::abortOnOtherCancel(TaskSpecification* other)
{
    emit otherTaskCancelled(other);
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification* task : qAsConst(tasks))
        task->reset();
    pending = tasks;
    running.clear();
    done.clear();
    cancelSeen = false;
    completed = false;
    TaskSpecification::reset();
}
