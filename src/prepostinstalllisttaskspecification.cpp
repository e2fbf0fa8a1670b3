#include "prepostinstalllisttaskspecification.h"

#include "prepostinstalltaskspecification.h"

#include <QDebug>

namespace {
// Each program's share, whatever the length of the list.
const qreal PROGRAM_WEIGHT = 0.1;
}

PrePostInstallListTaskSpecification::PrePostInstallListTaskSpecification(
    QList<PrePostInstallEntry>* list, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , list(list)
    , config(config)
{
}

void PrePostInstallListTaskSpecification::execute()
{
    state = TASK_RUNNING;
    // Without the list or the configuration no program can be found: fail rather than skip them.
    if (!list || !config) {
        qWarning() << "PrePostInstallListTaskSpecification: no list or configuration";
        fail();
        return;
    }
    if (!list->isEmpty())
        emit message("Starting install condition");
    // The sub-tasks keep pointers into the list; detach it once so they stay valid.
    list->detach();
    for (int i = 0; i < list->size(); ++i)
        addTask(new PrePostInstallTaskSpecification(&(*list)[i], config, this, PROGRAM_WEIGHT));
    startTasks();
}

void PrePostInstallListTaskSpecification::reset()
{
    clearTasks();
    TaskSpecification::reset();
}
