#include "filecopytaskspecification.h"

#include "filecopyfunc.h"

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollback,
                                                     const QString& src, const QString& dst,
                                                     QObject* parent, qreal weight)
    : SlowFileOpSpecification(QString("Could not copy '%1' to '%2'").arg(src, dst), rollback, src,
                              dst, parent, weight)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunc()
{
    return new FileCopyFunc(src, output);
}
