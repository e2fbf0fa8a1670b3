#include "filerenametaskspecification.h"

#include "rollbackdata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& oldPath,
                                                         const QString& newPath,
                                                         RollbackDataList* rollback,
                                                         QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(newPath, rollback, parent, weight)
    , oldPath(oldPath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QString dir = QFileInfo(path).path();
    if (!QFileInfo::exists(dir))
        QDir().mkdir(dir); // one level only; a failure shows in the rename
    if (!QFile::rename(oldPath, path)) {
        emit message(QString("Could not rename '%1' to '%2'").arg(oldPath, path));
        return false;
    }
    addRollback(RollbackData(RollbackData::FILE_RENAME, oldPath, path));
    return true;
}
