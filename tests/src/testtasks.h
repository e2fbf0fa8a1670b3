#ifndef VXTEST_TESTTASKS_H
#define VXTEST_TESTTASKS_H

#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "composedtaskspecification.h"
#include "eventloop.h"
#include "taskspecification.h"

#include <QSignalSpy>
#include <QStringList>
#include <functional>
#include <ostream>

// Readable QString values in assertion failures.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

namespace vxtest {

// Starts the task and runs the event loop until it ended; false on a time-out.
inline bool runToEnd(TaskSpecification& task)
{
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    return runUntil([&] { return finished.count() + canceled.count() > 0; });
}

// A leaf task the test ends by hand. Records its starts and the aborts it received; optional
// hooks decide how it reacts to execute, cancel and a sibling's failure.
class ManualTask : public TaskSpecification
{
    Q_OBJECT
public:
    explicit ManualTask(QObject* parent, qreal weight = 1.0, const QString& name = QString())
        : TaskSpecification(parent, weight)
        , name(name)
    {
    }

    void execute() override
    {
        ++executeCount;
        state = TASK_RUNNING;
        if (onExecute)
            onExecute(this);
    }
    void cancel() override
    {
        TaskSpecification::cancel();
        if (onCancel)
            onCancel(this);
    }
    void abortOnOtherCancel(TaskSpecification* other) override
    {
        aborts.append(other);
        if (onAbort)
            onAbort(this);
    }
    void getDownloadStats(quint64& done, quint64& total, quint64& speed, bool& downloading) override
    {
        done = statDone;
        total = statTotal;
        speed = statSpeed;
        downloading = statDownloading;
    }

    void finish() { succeed(); }
    void failNow() { fail(); }
    void cancelNow() { setCanceled(); }
    void progressTo(qreal fraction) { setProgress(fraction); }
    void say(const QString& text) { emit message(text); }
    void complain(const QString& text) { emit error(text); }

    QString name;
    int executeCount = 0;
    QList<TaskSpecification*> aborts;
    std::function<void(ManualTask*)> onExecute;
    std::function<void(ManualTask*)> onCancel;
    std::function<void(ManualTask*)> onAbort;
    quint64 statDone = 0;
    quint64 statTotal = 0;
    quint64 statSpeed = 0;
    bool statDownloading = false;
};

// A composed task whose sub-tasks the test adds before execute().
class ManualComposed : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    ManualComposed(int maxParallel, qreal weight = 1.0, QObject* parent = nullptr)
        : ComposedTaskSpecification(maxParallel, weight, parent)
    {
    }
    void execute() override { startTasks(); }

    ManualTask* add(const QString& name, qreal weight = 1.0)
    {
        auto* task = new ManualTask(this, weight, name);
        addTask(task);
        return task;
    }
    int runningCount() const { return running.size(); }
    int pendingCount() const { return pending.size(); }
    bool sawCancel() const { return cancelSeen; }
};

// Collects the texts and end signals of a task in the order they arrive.
class EventLog : public QObject
{
    Q_OBJECT
public:
    explicit EventLog(TaskSpecification* task)
    {
        connect(task, &TaskSpecification::message, this, [this](const QString& t) { lines << "message:" + t; });
        connect(task, &TaskSpecification::error, this, [this](const QString& t) { lines << "error:" + t; });
        connect(task, &TaskSpecification::finished, this, [this] { lines << "finished"; });
        connect(task, &TaskSpecification::canceled, this, [this] { lines << "canceled"; });
    }
    QStringList lines;
};

} // namespace vxtest

#endif // VXTEST_TESTTASKS_H
