#include "fileunpacktaskspecification_zip.h"

#include "fileunpackfunc_zip.h"

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList* rollback,
    const QString& src, const QString& dst, QObject* parent, qreal weight)
    : SlowFileOpSpecification(
          QString("Could not unzip '%1' to '%2'").arg(src, dst), rollback, src, dst, parent, weight)
{
}

ASyncFunc* FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(src, output);
}
