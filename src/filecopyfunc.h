#ifndef FILECOPYFUNC_H
#define FILECOPYFUNC_H

#include "slowfileopfunc.h"

// Copies src to dst in a pool thread; fails when dst already exists, and leaves no partial dst.
class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT
public:
    FileCopyFunc(const QString& src, const QString& dst);

    bool run() override;
};

#endif // FILECOPYFUNC_H
