#include "fileunpacktaskspecification_lzma2.h"

#include "fileunpackfunc_lzma2.h"

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(RollbackDataList* rollback,
    const QString& src, const QString& dst, QObject* parent, qreal weight)
    : SlowFileOpSpecification(QString("Could not unpack '%1' to '%2'").arg(src, dst), rollback, src,
          dst, parent, weight)
{
}

ASyncFunc* FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(src, output);
}
