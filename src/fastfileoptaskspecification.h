#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "taskspecification.h"

class RollbackData;
class RollbackDataList;

// A file operation quick enough to run synchronously in the GUI thread: execute() runs doOp() and
// ends the task within the call. What the operation creates goes into the borrowed undo journal,
// when there is one. There is nothing to interrupt, so cancel only sets the flag.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT
public:
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollback, QObject* parent,
                                qreal weight);

    void execute() override;
    // Does the operation; reports its reason through message before returning false.
    virtual bool doOp() = 0;

    const QString& getPath() const { return path; }

protected:
    void addRollback(const RollbackData& record);

    RollbackDataList* rollback;
    QString path;
};

#endif // FASTFILEOPTASKSPECIFICATION_H
