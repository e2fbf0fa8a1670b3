#include "filetaskspecification_patch.h"

#include "filefuncpatch.h"

#include <QDebug>

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList* rollback,
                                                         const QString& src, const QString& patch,
                                                         const QString& dst, QObject* parent,
                                                         qreal weight)
    : SlowFileOpSpecification(QString("Could not patch '%1' to '%2'").arg(src, dst), rollback, src,
                              patch, dst, parent, weight)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << src << "patchFile:" << patch << "dstFile:" << dst;
}

ASyncFunc* FileTaskSpecification_patch::createFunc()
{
    return new FileFuncPatch(src, middle, output);
}
