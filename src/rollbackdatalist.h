#ifndef ROLLBACKDATALIST_H
#define ROLLBACKDATALIST_H

#include "rollbackdata.h"

#include <QList>

// The undo journal of a file replacement: records in the order appended, undone newest first so
// that children go before their parents. Owned by the replacing task and lent to the tasks that
// write into it; GUI thread only. Lives in memory for one run.
class RollbackDataList
{
public:
    RollbackDataList() = default;

    void append(const RollbackData& record);
    // Forgets all records without undoing anything.
    void clear();
    // Appends other's records, in their order, after this journal's.
    void appendList(const RollbackDataList& other);
    // Undoes every record newest first, going on past failures; true when all undid cleanly.
    // The journal is empty afterwards.
    bool rollback(QObject* notify);

    const QList<RollbackData>& records() const { return list; }

private:
    QList<RollbackData> list;
};

#endif // ROLLBACKDATALIST_H
