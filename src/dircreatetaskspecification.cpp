#include "dircreatetaskspecification.h"

#include "rollbackdata.h"
#include "safepath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path,
                                                       RollbackDataList* rollback,
                                                       QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, rollback, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return createDir(path);
}

bool DirCreateTaskSpecification::createDir(const QString& dirPath)
{
    // Cleaned, so that a trailing "/" or a "//" cannot make a level its own parent.
    const QString level = QDir::cleanPath(dirPath);
    const QFileInfo info(level);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(QString("Could not create dir '%1' because it already exists and is not a dir")
                         .arg(level));
        return false;
    }
    const QString parent = info.path();
    if (parent == "." || info.isRoot() || parent == level) {
        emit message(QString("Could not create dir %1").arg(path));
        return false;
    }
    if (!QFileInfo::exists(parent) && !createDir(parent))
        return false;
    // 0755 whatever the umask: nothing the updater makes may be changed by group or others.
    if (!SafePath::makeFolder(level, 0755)) {
        const QString refusal = SafePath::takeRefusal();
        if (!refusal.isEmpty())
            emit message(refusal);
        emit message(QString("unable to create dir %1").arg(level));
        return false;
    }
    addRollback(RollbackData(RollbackData::DIR_CREATED, level));
    return true;
}
