#include "fileunpackfunc_lzma2.h"

#include "lzmafile.h"
#include "osstring.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& src, const QString& dst, quint32 maxSize)
    : SlowFileOpFunc(src, dst)
    , maxSize(maxSize)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(src, dst, maxSize);
}

bool FileUnpackFunc_lzma2::unpackFile(const QString& src, const QString& dst, quint32 maxSize)
{
    const bool result = maxSize == kNoLimit
        ? vxpatch::UnpackLzmaFile(toOsString(src), toOsString(dst))
        : vxpatch::UnpackLzmaFileLimited(toOsString(src), toOsString(dst), maxSize);
    qDebug() << "unpackFile" << src << dst << result;
    return result;
}
