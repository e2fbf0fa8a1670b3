#include "filedeletetaskspecification.h"

#include "safepath.h"

#include <QDebug>
#include <QFileInfo>

#include <sys/stat.h>

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
    // A link is removed as a link: following it would empty a directory outside the installation.
    SafePath::takeRefusal();
    struct stat st;
    const bool ok = SafePath::status(path, &st, false) && S_ISDIR(st.st_mode) ? removeDir()
                                                                             : removeFile();
    const QString refusal = SafePath::takeRefusal();
    if (!ok && failOnError) {
        if (!refusal.isEmpty())
            emit message(refusal);
        emit message(QString("Could not delete '%1'").arg(path));
        return false;
    }
    return true;
}

bool FileDeleteTaskSpecification::removeDir()
{
    if (recursive) {
        const bool ok = SafePath::removeTree(path);
        qDebug() << "Recursively deleted directory" << path << (ok ? "true" : "false");
        if (ok)
            emit message(QString("Recursively deleted directory '%1'").arg(path));
        return ok;
    }
    const bool ok = removeEmptyFolders();
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

bool FileDeleteTaskSpecification::removeEmptyFolders() const
{
    if (!SafePath::removeFolder(path))
        return false;
    // Upwards, as far as each folder has become empty.
    QString folder = QFileInfo(path).absolutePath();
    while (folder != QLatin1String("/") && SafePath::removeFolder(folder))
        folder = QFileInfo(folder).absolutePath();
    return true;
}
