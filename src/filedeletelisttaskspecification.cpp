#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"

#include <QDir>

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
            addTask(new FileDeleteTaskSpecification(false, target, entry.recursive, this, 1.0 / n));
        }
    }
    state = TASK_RUNNING;
    startTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearTasks();
    TaskSpecification::reset();
}
