#ifndef FILEUNPACKFUNC_ZIP_H
#define FILEUNPACKFUNC_ZIP_H

#include "slowfileopfunc.h"

// Decompresses the gzip file `src` into `dst`, a new file in place of whatever had the name
// (SafePath::createFile). Returns false when `dst` cannot be written or `src` cannot be opened or
// read to its end; `dst` is then removed.
bool gunzipFile(const QString& dst, const QString& src);

// Decompresses a gzip file in a pool thread; a failure leaves no `dst` behind.
class FileUnpackFunc_Zip : public SlowFileOpFunc {
    Q_OBJECT
public:
    FileUnpackFunc_Zip(const QString& src, const QString& dst);

    bool run() override;
};

#endif // FILEUNPACKFUNC_ZIP_H
