#include "fileunpackfunc_lzma2.h"

#include "lzmafile.h"
#include "osstring.h"
#include "safepath.h"

#include <QDebug>

#include <unistd.h>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& src, const QString& dst, quint32 maxSize)
    : SlowFileOpFunc(src, dst)
    , maxSize(maxSize)
{
}

bool FileUnpackFunc_lzma2::run()
{
    const bool ok = unpackFile(src, dst, maxSize);
    if (!ok)
        reportRefusal();
    return ok;
}

bool FileUnpackFunc_lzma2::unpackFile(const QString& src, const QString& dst, quint32 maxSize)
{
    const int fd = SafePath::createFile(dst, 0600, true);
    bool result = fd >= 0 && vxpatch::UnpackLzmaFileToDescriptor(toOsString(src), fd, maxSize);
    if (fd >= 0) {
        result = ::close(fd) == 0 && result;
        if (!result)
            SafePath::remove(dst);
    }
    qDebug() << "unpackFile" << src << dst << result;
    return result;
}
