#include "rollbackdatalist.h"

void RollbackDataList::append(const RollbackData& record)
{
    list.append(record);
}

void RollbackDataList::clear()
{
    list.clear();
}

void RollbackDataList::appendList(const RollbackDataList& other)
{
    // A shared copy, so that appending a journal to itself stays well defined.
    const QList<RollbackData> records = other.list;
    list.append(records);
}

bool RollbackDataList::rollback(QObject* notify)
{
    bool result = true;
    while (!list.isEmpty()) {
        const RollbackData record = list.takeLast();
        if (!record.rollback(notify))
            result = false;
    }
    return result;
}
