#include "fileinstalltaskspecification.h"

#include "fileinstallfunc.h"
#include "rollbackdatalist.h"
#include "safepath.h"
#include "stagedfile.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
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
    , checked()
{
}

ASyncFunc* FileInstallTaskSpecification::createFunc()
{
    // Only what replaces installed files is checked; a plain copy was checked as it was fetched.
    return new FileInstallFunc(staged, dst, mayReplace, sha512, failText, &checked);
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
    // Another user who may write the folder could have put a file of theirs at the staged name
    // since it was checked: it is looked at once more just before the rename and once after.
    if (!holdsCheckedFile(staged) || !StagedFile::renameOver(staged, dst)) {
        const bool failed = failRename(staged, dst);
        if (replacing)
            SafePath::remove(undo);
        return failed;
    }
    if (!holdsCheckedFile(dst)) {
        if (replacing ? !StagedFile::renameOver(undo, dst) : !SafePath::remove(dst))
            qDebug() << "FileInstallTaskSpecification: could not undo" << dst;
        return failRename(staged, dst);
    }
    if (rollback) {
        rollback->append(replacing ? RollbackData(RollbackData::FILE_RENAME, dst, undo)
                                   : RollbackData(RollbackData::FILE_CREATED, dst));
    } else if (replacing) {
        SafePath::remove(undo); // nothing will undo this
    }
    return true;
}

bool FileInstallTaskSpecification::holdsCheckedFile(const QString& path)
{
    struct stat now;
    if (SafePath::status(path, &now, false) && now.st_dev == checked.st_dev
        && now.st_ino == checked.st_ino)
        return true;
    emit message(QString("'%1' is not the file that was checked").arg(path));
    errno = ESTALE;
    return false;
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
