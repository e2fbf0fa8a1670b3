#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "rollbackdatalist.h"

#include <QList>

class Configuration;
class UpdateFileEntry;

// Installs the replace list into the installation directory: first the missing parent
// directories, then one FileReplaceTaskSpecification per entry, at most two at once. Staged and
// undo files left in the installation by a killed run are removed first. Everything
// created or renamed goes into this task's journal, which is undone newest first when the list
// does not finish. The list and the configuration are borrowed; GUI thread only.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(QList<UpdateFileEntry>* list, Configuration* config,
                                     QObject* parent, qreal weight);

    void execute() override;
    // Drops the sub-tasks and undoes the journal, then the plain reset.
    void reset() override;
    // Rolls the whole list back unless every sub-task finished and the changed directories could
    // be flushed; after success removes the earlier contents kept for undo.
    void subtasksDone() override;

private:
    // Parent directories of the installed files that do not exist yet, sorted so that a parent
    // comes before its children.
    QStringList missingDirectories() const;
    // Flushes every directory this run changed an entry of; false (reported) on failure.
    bool syncDirectories();
    void dropUndoFiles();

    QList<UpdateFileEntry>* list;
    RollbackDataList journal;
    Configuration* config;
};

#endif // FILEREPLACELISTTASKSPECIFICATION_H
