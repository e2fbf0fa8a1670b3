#include "filerenametaskspecification.h"

#include "rollbackdata.h"
#include "safepath.h"

#include <QFileInfo>

#include <sys/stat.h>

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
    struct stat st;
    if (!SafePath::status(dir, &st, true))
        SafePath::makeFolder(dir, 0755); // one level only; a failure shows in the rename
    // Never over a name that is taken, and never through a link planted on the way.
    if (SafePath::status(path, &st, false) || !SafePath::rename(oldPath, path)) {
        emit message(QString("Could not rename '%1' to '%2'").arg(oldPath, path));
        return false;
    }
    addRollback(RollbackData(RollbackData::FILE_RENAME, oldPath, path));
    return true;
}
