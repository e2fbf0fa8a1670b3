#include "rollbackdata.h"

#include "safepath.h"
#include "stagedfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>

RollbackData::RollbackData(int op, const QString& oldPath, const QString& newPath)
    : path(newPath)
    , second(oldPath)
    , op(op)
{
    Q_ASSERT(op == FILE_RENAME);
}

RollbackData::RollbackData(int op, const QString& path)
    : path(path)
    , op(op)
{
    Q_ASSERT(op == FILE_CREATED || op == DIR_CREATED);
}

bool RollbackData::rollback(QObject* notify) const
{
    switch (op) {
    case DIR_CREATED: {
        // A plain rmdir: a directory that gained content since is left alone.
        const bool ok = SafePath::removeFolder(path);
        if (!ok)
            message(notify, QString("warning: rollback create dir %1 failed").arg(path));
        return ok;
    }
    case FILE_CREATED: {
        const bool ok = SafePath::remove(path);
        if (!ok)
            message(notify, QString("warning: rollback create file %1 failed").arg(path));
        return ok;
    }
    case FILE_RENAME: {
        // rename(2) itself: the earlier content takes the place of whatever now holds the old
        // name in one step, and no copy is ever made.
        const bool ok = StagedFile::renameOver(path, second);
        if (!ok)
            message(notify, QString("warning: rollback rename %1 to %2 failed").arg(second, path));
        return ok;
    }
    }
    return false;
}

void RollbackData::message(QObject* obj, const QString& text)
{
    if (!obj)
        return;
    if (!QMetaObject::invokeMethod(obj, "message", Qt::AutoConnection, Q_ARG(QString, text)))
        qDebug() << "Warning: message signal was not found in RollbackData::message";
}
