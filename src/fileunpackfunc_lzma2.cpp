#include "fileunpackfunc_lzma2.h"

#include "lzmafile.h"
#include "osstring.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& src, const QString& dst)
    : SlowFileOpFunc(src, dst)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(src, dst);
}

bool FileUnpackFunc_lzma2::unpackFile(const QString& src, const QString& dst)
{
    const bool result = vxpatch::UnpackLzmaFile(toOsString(src), toOsString(dst));
    qDebug() << "unpackFile" << src << dst << result;
    return result;
}
