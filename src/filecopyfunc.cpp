#include "filecopyfunc.h"

#include <QDebug>
#include <QFile>

FileCopyFunc::FileCopyFunc(const QString& src, const QString& dst)
    : SlowFileOpFunc(src, dst)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << src << dst;
    return QFile::copy(src, dst);
}
