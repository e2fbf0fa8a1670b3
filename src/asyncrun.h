#ifndef ASYNCRUN_H
#define ASYNCRUN_H

#include <QRunnable>

class ASyncFunc;

// Carries one worker through the global thread pool: runs it, emits its result and deletes it.
// Auto-deleted by the pool after run(); owns the worker.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;

    void run() override;

private:
    ASyncFunc* func;
};

#endif // ASYNCRUN_H
