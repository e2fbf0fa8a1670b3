#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, qreal weight)
    : QObject(parent)
    , weight(weight)
{
}

TaskSpecification::~TaskSpecification() = default;

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = TASK_IDLE;
    progress = 0 * weight;
    emit updateProgress(progress);
}

void TaskSpecification::getDownloadStats(quint64& downloadDone, quint64& downloadTotal,
                                         quint64& speed, bool& downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::cancel()
{
    cancelRequested = true;
}

void TaskSpecification::abortOnOtherCancel(TaskSpecification* other)
{
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other != this && state == TASK_RUNNING)
        abortOnOtherCancel(other);
}

void TaskSpecification::setProgress(qreal fraction)
{
    progress = weight * fraction;
    emit updateProgress(progress);
}

void TaskSpecification::succeed()
{
    state = TASK_FINISHED;
    progress = weight;
    emit updateProgress(weight);
    emit finished(this);
}

void TaskSpecification::fail()
{
    state = TASK_FAILED;
    emit canceled(this);
}

void TaskSpecification::setCanceled()
{
    state = TASK_CANCELED;
    emit canceled(this);
}
