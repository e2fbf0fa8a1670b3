#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deleteentry.h"

#include <QList>

class Configuration;

// Deletes the installed paths of a delete list one after another, in list order, each relative
// to the installation directory. A deletion that does not happen is passed over, so the list
// always succeeds. Borrows the list and the configuration; builds its sub-tasks afresh in every
// execute(). GUI thread.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileDeleteListTaskSpecification(QList<DeleteEntry>* list, Configuration* config,
                                    QObject* parent, qreal weight);

    void execute() override;
    // Drops the sub-tasks (the next execute builds them again), then the plain task reset.
    void reset() override;

private:
    QList<DeleteEntry>* list;
    Configuration* config;
};

#endif // FILEDELETELISTTASKSPECIFICATION_H
