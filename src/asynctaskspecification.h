#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "taskspecification.h"

class ASyncFunc;

// A task whose work runs on the global thread pool. Every execute() creates a fresh worker
// (createFunc), wires it with queued connections and queues it; the worker's texts arrive in the
// order emitted and before its result, which runDone() turns into the end state.
// The task lives in the GUI thread; a running worker cannot be stopped, so cancel only sets the
// flag. A result that arrives when the task is no longer running (after a reset) is ignored.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    ASyncTaskSpecification(QObject* parent, qreal weight);

    void execute() override;
    // Blocks until the whole global pool is idle, then the plain reset.
    void reset() override;

    // A new worker holding copies of everything the work needs.
    virtual ASyncFunc* createFunc() = 0;
    virtual void connectFunc(ASyncFunc* func);
    // Succeeds or fails on the result, but only while TASK_RUNNING.
    virtual void runDone(bool ok);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
};

#endif // ASYNCTASKSPECIFICATION_H
