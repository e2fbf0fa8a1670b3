#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"

class RollbackDataList;

// A file operation that runs on the global thread pool and creates `dst` from `src` (and
// `middle`, when a third file is involved). On success `dst` goes into the borrowed undo journal,
// when there is one; on failure the prepared `errorMessage` is reported. Both happen in the GUI
// thread, in runDone. Once queued the work cannot be stopped.
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

protected:
    RollbackDataList* rollback;
    QString src;
    QString middle;
    QString dst;
    QString errorMessage;
};

#endif // SLOWFILEOPSPECIFICATION_H
