#include "slowfileopspecification.h"

#include "rollbackdatalist.h"

SlowFileOpSpecification::SlowFileOpSpecification(const QString& errorMessage,
                                                 RollbackDataList* rollback, const QString& src,
                                                 const QString& dst, QObject* parent, qreal weight)
    : SlowFileOpSpecification(errorMessage, rollback, src, QString(), dst, parent, weight)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& errorMessage,
                                                 RollbackDataList* rollback, const QString& src,
                                                 const QString& middle, const QString& dst,
                                                 QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , rollback(rollback)
    , src(src)
    , middle(middle)
    , dst(dst)
    , output(dst)
    , errorMessage(errorMessage)
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    // The file exists whatever became of the task meanwhile, so it is recorded in any state.
    if (ok) {
        if (rollback)
            rollback->append(RollbackData(RollbackData::FILE_CREATED, output));
    } else {
        emit message(errorMessage);
    }
    ASyncTaskSpecification::runDone(ok);
}
