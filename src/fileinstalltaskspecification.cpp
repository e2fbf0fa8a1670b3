#include "fileinstalltaskspecification.h"

#include "fileinstallfunc.h"
#include "rollbackdatalist.h"
#include "safepath.h"
#include "stagedfile.h"

#include <QDebug>
#include <QFile>

#include <sys/stat.h>

FileInstallTaskSpecification::FileInstallTaskSpecification(RollbackDataList* rollback,
                                                           const QString& staged,
                                                           const QString& dst,
                                                           const QString& sha512, bool mayReplace,
                                                           const QString& failText,
                                                           QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , rollback(rollback)
    , staged(staged)
    , dst(dst)
    , sha512(sha512)
    , mayReplace(mayReplace)
    , failText(failText)
{
}

ASyncFunc* FileInstallTaskSpecification::createFunc()
{
    // Only what replaces installed files is checked; a plain copy was checked as it was fetched.
    return new FileInstallFunc(staged, dst, mayReplace, sha512, failText);
}

void FileInstallTaskSpecification::runDone(bool ok)
{
    if (state != TASK_RUNNING || !ok || !commit()) {
        SafePath::remove(staged);
        ASyncTaskSpecification::runDone(false);
        return;
    }
    ASyncTaskSpecification::runDone(true);
}

bool FileInstallTaskSpecification::commit()
{
    struct stat st;
    const bool exists = SafePath::status(dst, &st, false);
    if (exists && !mayReplace) {
        emit message(failText);
        return false;
    }
    // A link is kept as the link it is; a folder in the way makes the rename fail.
    const bool replacing = exists && !S_ISDIR(st.st_mode);
    const QString undo = StagedFile::undoPath(dst);
    if (replacing) {
        SafePath::remove(undo);
        if (!StagedFile::keepForUndo(dst, undo))
            return failRename(dst, undo);
    }
    if (!StagedFile::renameOver(staged, dst)) {
        const bool failed = failRename(staged, dst);
        if (replacing)
            SafePath::remove(undo);
        return failed;
    }
    if (rollback) {
        rollback->append(replacing ? RollbackData(RollbackData::FILE_RENAME, dst, undo)
                                   : RollbackData(RollbackData::FILE_CREATED, dst));
    } else if (replacing) {
        SafePath::remove(undo); // nothing will undo this
    }
    return true;
}

bool FileInstallTaskSpecification::failRename(const QString& from, const QString& to)
{
    qDebug() << "FileInstallTaskSpecification:" << from << "->" << to << StagedFile::lastError();
    const QString refusal = SafePath::takeRefusal();
    if (!refusal.isEmpty())
        emit message(refusal);
    emit message(QString("Could not rename '%1' to '%2'").arg(from, to));
    return false;
}
