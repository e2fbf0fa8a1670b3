#ifndef FILEUNPACKFUNC_LZMA2_H
#define FILEUNPACKFUNC_LZMA2_H

#include "slowfileopfunc.h"

// Decodes a package container in a pool thread. The container reader writes `dst` only
// once the contents have checked out, so a failure leaves no new file.
class FileUnpackFunc_lzma2 : public SlowFileOpFunc {
    Q_OBJECT
public:
    // `maxSize`: the most bytes the package may unpack to (checked before anything is written).
    FileUnpackFunc_lzma2(const QString& src, const QString& dst, quint32 maxSize = kNoLimit);

    bool run() override;
    static bool unpackFile(const QString& src, const QString& dst, quint32 maxSize = kNoLimit);

    static constexpr quint32 kNoLimit = 0xFFFFFFFFu;

private:
    quint32 maxSize;
};

#endif // FILEUNPACKFUNC_LZMA2_H
