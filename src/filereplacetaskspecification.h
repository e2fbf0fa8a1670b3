#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "rollbackdatalist.h"
#include "updatefileentry.h"

class Configuration;
class SlowFileOpSpecification;

// Installs one file of the replace list, one step after another: a plain copy of a downloaded
// file, or a patch, unpack or gunzip, each written to a staged file beside the installed one and
// then put in its place (FileInstallTaskSpecification: flushed, checked against the listed digest
// when the entry has a target, given its mode, renamed). An installed file replaced this way stays
// reachable under its undo name, and undoing the journal renames it back. The install step
// records into this task's own journal; on success the records move to the list's journal, on
// failure they are undone at once. The parent journal and the configuration are borrowed; GUI
// thread only.
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

    // Makes the file executable for whoever may read it when it is one of the known programs or
    // a shared library; write access for group and others goes.
    static void makeSingleFileExecutable(const QString& path);

private:
    void makeSubtasksAndStart();
    // Adds `write`, told to write the staged file, and the step that puts the result at dst.
    void addStagedWrite(SlowFileOpSpecification* write, const QString& sha512, bool mayReplace,
                        qreal installWeight);
    // Makes the old copy of the installed file that the patch reads.
    void prepareOldCopy(const QString& oldCopy);

    UpdateFileEntry entry;
    RollbackDataList* parentJournal;
    RollbackDataList journal;
    Configuration* config;

    QString dst;
    QString staged;
};

#endif // FILEREPLACETASKSPECIFICATION_H
