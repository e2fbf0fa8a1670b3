#include "filedeletetaskspecification.h"

#include "safepath.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failOnError, const QString& path,
                                                         bool recursive, QObject* parent,
                                                         qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , failOnError(failOnError)
    , recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const QFileInfo info(path);
    // A link is removed as a link: following it would empty a directory outside the installation.
    const bool ok = info.isDir() && !info.isSymLink() ? removeDir() : removeFile();
    if (!ok && failOnError) {
        emit message(QString("Could not delete '%1'").arg(path));
        return false;
    }
    return true;
}

bool FileDeleteTaskSpecification::removeDir()
{
    if (recursive) {
        const bool ok = QDir(path).removeRecursively();
        qDebug() << "Recursively deleted directory" << path << (ok ? "true" : "false");
        if (ok)
            emit message(QString("Recursively deleted directory '%1'").arg(path));
        return ok;
    }
    const bool ok = QDir().rmpath(path);
    qDebug() << "Deleted directory" << path << (ok ? "true" : "false");
    if (ok)
        emit message(QString("Deleted directory '%1'").arg(path));
    return ok;
}

bool FileDeleteTaskSpecification::removeFile()
{
    const bool ok = SafePath::remove(path);
    qDebug() << "Deleted file" << path << (ok ? "true" : "false");
    if (ok)
        emit message(QString("Deleted file '%1'").arg(path));
    return ok;
}
