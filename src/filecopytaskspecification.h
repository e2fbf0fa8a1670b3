#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

// Copies `src` to a new file `dst` on the thread pool; an existing `dst` makes it fail.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT
public:
    FileCopyTaskSpecification(RollbackDataList* rollback, const QString& src, const QString& dst,
                              QObject* parent, qreal weight);

    ASyncFunc* createFunc() override;
};

#endif // FILECOPYTASKSPECIFICATION_H
