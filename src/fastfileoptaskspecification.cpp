#include "fastfileoptaskspecification.h"

#include "rollbackdatalist.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path,
                                                         RollbackDataList* rollback,
                                                         QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , rollback(rollback)
    , path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    state = TASK_RUNNING;
    if (doOp())
        succeed();
    else
        fail();
}

void FastFileOpTaskSpecification::addRollback(const RollbackData& record)
{
    if (rollback)
        rollback->append(record);
}
