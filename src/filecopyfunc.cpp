#include "filecopyfunc.h"

#include "stagedfile.h"

#include <QDebug>

FileCopyFunc::FileCopyFunc(const QString& src, const QString& dst)
    : SlowFileOpFunc(src, dst)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << src << dst;
    // The copy has the source's mode, less setuid, setgid and write access for group and others.
    const bool ok = StagedFile::copyWithOwnMode(src, dst, 0755);
    if (!ok)
        reportRefusal();
    return ok;
}
