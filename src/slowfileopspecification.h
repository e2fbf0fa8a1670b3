#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"

class RollbackDataList;

// A file operation that runs on the global thread pool and creates `dst` from `src` (and
// `middle`, when a third file is involved). On success `dst` goes into the borrowed undo journal,
// when there is one; on failure the prepared `errorMessage` is reported. Both happen in the GUI
// thread, in runDone. Once queued the work cannot be stopped. The worker may be told to write
// another file instead (writeTo), such as a staged file that is renamed onto `dst` later.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    SlowFileOpSpecification(const QString& errorMessage, RollbackDataList* rollback,
                            const QString& src, const QString& dst, QObject* parent, qreal weight);
    SlowFileOpSpecification(const QString& errorMessage, RollbackDataList* rollback,
                            const QString& src, const QString& middle, const QString& dst,
                            QObject* parent, qreal weight);

    void runDone(bool ok) override;

    // The worker writes `path` instead of `dst`, and `path` is what the journal records; texts
    // still name `dst`. Set before execute().
    void writeTo(const QString& path) { output = path; }
    const QString& getErrorMessage() const { return errorMessage; }

protected:
    RollbackDataList* rollback;
    QString src;
    QString middle;
    QString dst;
    QString output; // the file the worker writes; `dst` unless writeTo() said otherwise
    QString errorMessage;
};

#endif // SLOWFILEOPSPECIFICATION_H
