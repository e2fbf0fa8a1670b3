#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QList>

// A task that runs sub-tasks first in, first out, never more than maxParallel at once, each start
// one event-loop turn apart. It sums their progress into its own, relays their texts, tells the
// running siblings once when one of them ends without success, stops starting new ones after that,
// and derives its own end state from theirs when nothing runs any more.
// Owns its sub-tasks (they are created with it as QObject parent). GUI thread only.
// Subclasses add their sub-tasks in execute() and then call startTasks().
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ComposedTaskSpecification(int maxParallel, qreal weight, QObject* parent);
    ~ComposedTaskSpecification() override;

    void reset() override;
    void getDownloadStats(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                          bool& downloading) override;
    void cancel() override;
    void abortOnOtherCancel(TaskSpecification* other) override;

    // Called once when no sub-task runs and none will start; ends this task by computeOutcome().
    virtual void subtasksDone();
    virtual void connectSubTask(TaskSpecification* task);

    void addTask(TaskSpecification* task);
    // The end state the sub-tasks call for; TASK_RUNNING when some never ran without a reason.
    int computeOutcome() const;

    const QList<TaskSpecification*>& getTasks() const { return tasks; }

signals:
    void startNextTask();

protected:
    // Sets TASK_RUNNING and queues the first min(pending, maxParallel) starts.
    void startTasks();
    // Disconnects and schedules the deletion of every sub-task; all lists end empty and the
    // run flags cleared.
    void clearTasks();

    QList<TaskSpecification*> tasks;
    QList<TaskSpecification*> pending;
    QList<TaskSpecification*> running;
    QList<TaskSpecification*> done;
    int maxParallel;
    bool cancelSeen = false;
    bool completed = false;

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* task);
    void onSubTaskCanceled(TaskSpecification* task);
};

#endif // COMPOSEDTASKSPECIFICATION_H
