#include "filecopyfunc.h"

#include "stagedfile.h"

#include <QDebug>
#include <QFile>

#include <sys/stat.h>

FileCopyFunc::FileCopyFunc(const QString& src, const QString& dst)
    : SlowFileOpFunc(src, dst)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << src << dst;
    // The copy has the source's mode, less setuid, setgid and write access for group and others.
    struct stat st;
    const bool known = ::stat(QFile::encodeName(src).constData(), &st) == 0;
    const bool ok = StagedFile::copyFile(src, dst, known ? (st.st_mode & 0755) : 0600);
    if (!ok)
        reportRefusal();
    return ok;
}
