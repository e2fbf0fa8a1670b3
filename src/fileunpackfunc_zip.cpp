#include "fileunpackfunc_zip.h"

#include <QFile>

#include <zlib.h>

namespace {

constexpr unsigned kChunk = 16384;

} // namespace

bool gunzipFile(const QString& dst, const QString& src)
{
    QFile out(dst);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    gzFile in = gzopen(src.toUtf8().constData(), "rb");
    if (!in)
        return false;
    gzrewind(in);
    char buffer[kChunk];
    for (;;) {
        const int n = gzread(in, buffer, kChunk);
        if (n == 0) {
            // zlib reports a stream cut short only when it is closed, and a write that
            // fails only when the buffer is flushed must not pass as success either.
            const bool complete = gzclose(in) == Z_OK;
            if (!complete || !out.flush()) {
                out.remove();
                return false;
            }
            out.close();
            return true;
        }
        if (n < 0 || out.write(buffer, n) < n) {
            gzclose(in);
            out.remove();
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
        QFile::remove(dst);
    return ok;
}
