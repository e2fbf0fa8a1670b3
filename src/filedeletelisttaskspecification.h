#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "deleteentry.h"

#include <QList>

class Configuration;

// Deletes the installed paths of a delete list one after another, in list order, each relative
// to the installation directory. An installed file or folder that cannot be removed is reported
// through error and fails the list; a path that is already gone, or a folder to be removed only
// when empty that is not, is passed over. Borrows the list and the configuration; builds its sub-tasks afresh in every
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
    // Reports every deletion that failed with error, then the composed completion.
    void subtasksDone() override;

private:
    // Whether not removing `target` fails the list.
    static bool mustGo(const QString& target, bool recursive);

    QList<DeleteEntry>* list;
    Configuration* config;
};

#endif // FILEDELETELISTTASKSPECIFICATION_H
