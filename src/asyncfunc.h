#ifndef ASYNCFUNC_H
#define ASYNCFUNC_H

#include <QObject>
#include <QString>

// The work of one background-task run. Created without a parent in the GUI thread holding copies
// of all it needs, run once in a thread of the global pool and deleted there by its ASyncRun.
// It touches nothing shared; it reports only through its signals, which the task receives queued.
class ASyncFunc : public QObject
{
    Q_OBJECT
public:
    ASyncFunc();

    // Does the work in the calling (pool) thread; returns success. Reports its reason through
    // message or error before returning false.
    virtual bool run() = 0;

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    // Fraction done, 0 to 1.
    void progress(qreal progress);
};

#endif // ASYNCFUNC_H
