#include "fileunpackfunc_zip.h"

#include "safepath.h"

#include <QFile>

#include <unistd.h>
#include <zlib.h>

namespace {

constexpr unsigned kChunk = 16384;

} // namespace

bool gunzipFile(const QString& dst, const QString& src)
{
    const int fd = SafePath::createFile(dst, 0600, true);
    QFile out;
    if (fd < 0 || !out.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    gzFile in = gzopen(src.toUtf8().constData(), "rb");
    if (!in) {
        out.close();
        SafePath::remove(dst);
        return false;
    }
    gzrewind(in);
    char buffer[kChunk];
    for (;;) {
        const int n = gzread(in, buffer, kChunk);
        if (n == 0) {
            // zlib reports a stream cut short only when it is closed, and a write that
            // fails only when the buffer is flushed must not pass as success either.
            const bool complete = gzclose(in) == Z_OK;
            if (!complete || !out.flush()) {
                out.close();
                SafePath::remove(dst);
                return false;
            }
            out.close();
            return true;
        }
        if (n < 0 || out.write(buffer, n) < n) {
            gzclose(in);
            out.close();
            SafePath::remove(dst);
            return false;
        }
    }
}

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString& src, const QString& dst)
    : SlowFileOpFunc(src, dst)
{
}

bool FileUnpackFunc_Zip::run()
{
    const bool ok = gunzipFile(dst, src);
    if (!ok)
        reportRefusal();
    return ok;
}
