#ifndef PREPOSTINSTALLLISTTASKSPECIFICATION_H
#define PREPOSTINSTALLLISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "prepostinstallentry.h"

#include <QList>

class Configuration;

// Runs the programs of a pre- or post-install list one after another, in list order. A failed
// required program stops the list and fails it; an optional one that fails is passed over.
// Borrows the list (owned by the main task, which outlives it) and the configuration; builds its
// sub-tasks afresh in every execute(). GUI thread.
class PrePostInstallListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    PrePostInstallListTaskSpecification(QList<PrePostInstallEntry>* list, Configuration* config,
                                        QObject* parent, qreal weight);

    void execute() override;
    // Drops the sub-tasks (the next execute builds them again), then the plain task reset.
    void reset() override;

private:
    QList<PrePostInstallEntry>* list;
    Configuration* config;
};

#endif // PREPOSTINSTALLLISTTASKSPECIFICATION_H
