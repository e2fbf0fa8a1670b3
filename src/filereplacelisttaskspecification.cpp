#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"
#include "safepath.h"
#include "stagedfile.h"
#include "updatefileentry.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<UpdateFileEntry>* list,
                                                                   Configuration* config,
                                                                   QObject* parent, qreal weight)
    : ComposedTaskSpecification(2, weight, parent)
    , list(list)
    , config(config)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message("Starting file updates");
    if (!config && list && !list->isEmpty()) {
        // No installation to write into: a list that was not installed must not pass.
        qDebug() << "FileReplaceListTaskSpecification: no configuration";
        state = TASK_RUNNING;
        fail();
        return;
    }
    if (config) {
        // Staged and undo files of a run that was killed: every installed file is complete (old
        // or new) by itself, so they are of no further use.
        StagedFile::removeLeftovers(config->installDir);
    }
    if (list && config && !list->isEmpty()) {
        // The directory tasks are synchronous and first in the queue, so every directory exists
        // before the first file is written.
        const QStringList dirs = missingDirectories();
        const int d = dirs.size();
        for (const QString& dir : dirs)
            addTask(new DirCreateTaskSpecification(dir, &journal, this, 0.1 / d));
        const int n = list->size();
        const qreal w = (d >= 1 ? 0.9 : 1.0) / n;
        for (const UpdateFileEntry& entry : qAsConst(*list))
            addTask(new FileReplaceTaskSpecification(entry, &journal, config, this, w));
    }
    state = TASK_RUNNING;
    startTasks();
}

QStringList FileReplaceListTaskSpecification::missingDirectories() const
{
    const QDir base(config->installDir);
    QSet<QString> seen;
    QStringList missing;
    for (const UpdateFileEntry& entry : qAsConst(*list)) {
        const QString dir = QFileInfo(base.filePath(entry.effectiveName())).absolutePath();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing.append(dir);
    }
    std::sort(missing.begin(), missing.end());
    return missing;
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    const bool allDone = computeOutcome() == TASK_FINISHED;
    if (!allDone || !syncDirectories()) {
        emit message("rolling back file updates");
        journal.rollback(this);
        if (allDone) {
            fail();
            return;
        }
    } else {
        dropUndoFiles();
    }
    ComposedTaskSpecification::subtasksDone();
}

bool FileReplaceListTaskSpecification::syncDirectories()
{
    // Once per directory rather than after every rename: until this, a power cut may bring back
    // earlier names, but every name holds a complete file either way.
    QSet<QString> synced;
    for (const RollbackData& record : journal.records()) {
        const QString entry = record.op == RollbackData::FILE_RENAME ? record.second : record.path;
        const QString dir = QFileInfo(entry).path();
        if (synced.contains(dir))
            continue;
        synced.insert(dir);
        if (StagedFile::syncDirectoryOf(entry))
            continue;
        qDebug() << "Could not flush" << dir << StagedFile::lastError();
        if (record.op == RollbackData::DIR_CREATED)
            emit message(QString("unable to create dir %1").arg(entry));
        else
            emit message(QString("Could not rename '%1' to '%2'")
                             .arg(StagedFile::stagingPath(entry), entry));
        return false;
    }
    return true;
}

void FileReplaceListTaskSpecification::dropUndoFiles()
{
    // The run keeps its files now: the earlier contents kept for undo go, and with them the
    // records that would need them.
    for (const RollbackData& record : journal.records()) {
        if (record.op == RollbackData::FILE_RENAME && StagedFile::isUndoPath(record.path))
            SafePath::remove(record.path);
    }
    journal.clear();
}

void FileReplaceListTaskSpecification::reset()
{
    clearTasks();
    journal.rollback(this);
    TaskSpecification::reset();
}
