#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

// One step of an update run. A task has a weight (its share of the parent's progress), a progress
// from 0 to that weight, a state and a cancel request; it reports upward through its signals.
// Tasks form a Qt parent tree and live in the GUI thread; every member is touched only there.
// The base class is abstract: subclasses start their work in execute() and end every run with
// exactly one of succeed(), fail() or setCanceled().
class TaskSpecification : public QObject
{
    Q_OBJECT
public:
    // Stored and compared as plain integers.
    enum State {
        TASK_IDLE = 0,
        TASK_RUNNING = 1,
        TASK_FINISHED = 2,
        TASK_FAILED = 3,
        TASK_CANCELED = 4
    };

    TaskSpecification(QObject* parent, qreal weight);
    ~TaskSpecification() override;

    virtual void execute() = 0;
    // Back to TASK_IDLE with progress 0 and no cancel request; a reset task may run again.
    virtual void reset();
    // Download figures of this task; zeros and false for tasks that do not download.
    virtual void getDownloadStats(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                  bool& downloading);
    // Asks the task to stop; the base class only records the request.
    virtual void cancel();
    // Another task under the same composed parent ended without success while this one runs.
    virtual void abortOnOtherCancel(TaskSpecification* other);

    int getState() const { return state; }
    qreal getProgress() const { return progress; }
    qreal getWeight() const { return weight; }
    bool isCancelRequested() const { return cancelRequested; }

signals:
    void finished(TaskSpecification* task);
    // Failed or cancelled; receivers tell the two apart by the task's state.
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    // Carries the weighted progress (0 to weight), not a fraction.
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification* task);

protected slots:
    void onOtherTaskCancelled(TaskSpecification* other);

protected:
    // progress = weight * fraction, then reports it.
    void setProgress(qreal fraction);
    void succeed();
    // The caller reports the reason (message or error) before calling this.
    void fail();
    void setCanceled();

    bool cancelRequested = false;
    qreal weight;
    qreal progress = 0;
    int state = TASK_IDLE;
};

#endif // TASKSPECIFICATION_H
