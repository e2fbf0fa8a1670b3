#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "rollbackdatalist.h"
#include "updatefileentry.h"

class Configuration;

// Installs one file of the replace list, one step after another: a plain copy of a downloaded
// file, or a patch, unpack or gunzip followed by a digest check of the result. An installed file
// that is about to be written over is first moved aside into the work directory (a rename record),
// so that undoing the journal puts the earlier content back. The steps record into this task's
// own journal; on success the records move to the list's journal, on failure they are undone at
// once. The parent journal and the configuration are borrowed; GUI thread only.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceTaskSpecification(const UpdateFileEntry& entry, RollbackDataList* parentJournal,
                                 Configuration* config, QObject* parent, qreal weight);

    void execute() override;
    // Drops the sub-tasks and undoes this task's journal, then the plain reset.
    void reset() override;
    void subtasksDone() override;

    // Gives read, write and execute to everyone when the file is one of the known programs or a
    // shared library.
    static void makeSingleFileExecutable(const QString& path);

private:
    void makeSubtasksAndStart();
    // Adds the rename that moves an installed dst out of the way of the write step.
    void addMoveAside();
    // Makes the old copy of the installed file that the patch reads.
    void prepareOldCopy(const QString& oldCopy);
    // After a failed step: removes what a write step left at dst when dst was not an installed
    // file at that moment, so that the undo can put the earlier file back.
    void removeLeftover();
    void keepPermissionsOfReplaced();

    UpdateFileEntry entry;
    RollbackDataList* parentJournal;
    RollbackDataList journal;
    Configuration* config;

    QString dst;
    QString aside;
    bool dstExisted = false;
    TaskSpecification* moveAsideTask = nullptr;
    TaskSpecification* writeTask = nullptr;
};

#endif // FILEREPLACETASKSPECIFICATION_H
