#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"
#include "safepath.h"

#include <QDir>

#include <cerrno>
#include <sys/stat.h>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<DeleteEntry>* list,
                                                                 Configuration* config,
                                                                 QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , list(list)
    , config(config)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message("Starting deleting files");
    // Without a configuration there is no installation directory to resolve against, and paths
    // must never be taken relative to wherever the program happens to run.
    if (list && config) {
        const QDir base(config->installDir);
        const int n = list->size();
        for (const DeleteEntry& entry : qAsConst(*list)) {
            // An absolute entry path comes back unchanged.
            const QString target = base.filePath(entry.path);
            addTask(new FileDeleteTaskSpecification(mustGo(target, entry.recursive), target,
                                                    entry.recursive, this, 1.0 / n));
        }
    }
    state = TASK_RUNNING;
    startTasks();
}

bool FileDeleteListTaskSpecification::mustGo(const QString& target, bool recursive)
{
    // What is already gone is no failure (a run after a killed one finds it so), and a folder
    // that is to go only when empty may stay with what a user put there. Anything else that
    // stays would leave a file of the earlier release in the installation.
    struct stat st;
    if (!SafePath::status(target, &st, false))
        return errno != ENOENT && errno != ENOTDIR;
    return recursive || !S_ISDIR(st.st_mode);
}

void FileDeleteListTaskSpecification::subtasksDone()
{
    for (TaskSpecification* task : qAsConst(tasks)) {
        auto* deletion = qobject_cast<FileDeleteTaskSpecification*>(task);
        if (deletion && deletion->getState() == TASK_FAILED)
            emit error(QString("Could not delete '%1'").arg(deletion->getPath()));
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileDeleteListTaskSpecification::reset()
{
    clearTasks();
    TaskSpecification::reset();
}
