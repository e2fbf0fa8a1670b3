#include "filereplacetaskspecification.h"

#include "configuration.h"
#include "filecopytaskspecification.h"
#include "fileinstalltaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "safepath.h"
#include "stagedfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const UpdateFileEntry& entry,
                                                           RollbackDataList* parentJournal,
                                                           Configuration* config, QObject* parent,
                                                           qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , entry(entry)
    , parentJournal(parentJournal)
    , config(config)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QString("add/replace %1").arg(entry.name));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    if (!config) {
        // Nowhere to install to: never end such a run as a success.
        state = TASK_RUNNING;
        fail();
        return;
    }
    const QDir work(config->workDir);
    const QString src = work.filePath(entry.name);
    dst = QDir(config->installDir).filePath(entry.effectiveName());
    const QString patchFile = work.filePath(entry.patch);
    qDebug() << "FileReplaceTaskSpecification: spec:" << entry.name << " src:" << src
             << " dstFile:" << dst << " hasPatch:" << entry.hasPatch() << " patchFile:" << patchFile;

    staged = StagedFile::stagingPath(dst);
    // A staged file of a killed run is never taken for this run's result.
    if (!StagedFile::removeLeftover(staged)) {
        emit message(
            QString("'%1' is in the way of the update and is not ours to remove").arg(staged));
        state = TASK_RUNNING;
        fail();
        return;
    }

    SlowFileOpSpecification* write = nullptr;
    if (!entry.hasTarget()) {
        // A plain copy never writes over an installed file: it fails instead.
        write = new FileCopyTaskSpecification(nullptr, src, dst, this, 1.0);
        addStagedWrite(write, QString(), false, 0.0);
    } else {
        if (entry.hasPatch()) {
            qDebug() << "HAS PATCH";
            const QString oldCopy = work.filePath(entry.effectiveName() + "_old");
            prepareOldCopy(oldCopy);
            emit message(QString("Patching %1").arg(entry.effectiveName()));
            write = new FileTaskSpecification_patch(nullptr, oldCopy, patchFile, dst, this, 0.8);
        } else if (QFileInfo(entry.name).suffix() == "_lzma2_") {
            write = new FileUnpackTaskSpecification_lzma2(nullptr, src, dst, this, 0.8);
        } else {
            write = new FileUnpackTaskSpecification_zip(nullptr, src, dst, this, 0.8);
        }
        addStagedWrite(write, entry.sha512, true, 0.2);
    }
    state = TASK_RUNNING;
    startTasks();
}

void FileReplaceTaskSpecification::addStagedWrite(SlowFileOpSpecification* write,
                                                 const QString& sha512, bool mayReplace,
                                                 qreal installWeight)
{
    // The new content is written beside dst and reaches dst only by a rename once it is flushed,
    // checked and given its mode.
    write->writeTo(staged);
    addTask(write);
    addTask(new FileInstallTaskSpecification(&journal, staged, dst, sha512, mayReplace,
                                             write->getErrorMessage(), this, installWeight));
}

void FileReplaceTaskSpecification::prepareOldCopy(const QString& oldCopy)
{
    struct stat st;
    if (SafePath::status(oldCopy, &st, false))
        qDebug() << "Remove" << oldCopy << SafePath::remove(oldCopy);
    const QString oldDir = QFileInfo(oldCopy).absolutePath();
    if (!QFileInfo::exists(oldDir))
        qDebug() << "tempOldAbsPath" << oldDir << "Created" << QDir().mkpath(oldDir);
    // A failed copy shows as a failed patch. Never more than the file whose digest chose the
    // patch: whatever took its place cannot make the copy go on without end.
    qDebug() << "Copy" << dst << "->" << oldCopy
             << StagedFile::copyFile(dst, oldCopy, 0600, entry.oldSize);
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (computeOutcome() == TASK_FINISHED) {
        // The list's journal takes over; this one must not undo the records a second time.
        if (parentJournal)
            parentJournal->appendList(journal);
        journal.clear();
    } else {
        SafePath::remove(staged);
        journal.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::reset()
{
    clearTasks();
    if (!staged.isEmpty())
        SafePath::remove(staged);
    journal.rollback(this);
    TaskSpecification::reset();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path)
{
    const QFileInfo info(path);
    qDebug() << "Executable check" << path << info.fileName() << info.completeSuffix();
    struct stat st;
    if (StagedFile::isExecutableName(info.fileName()) && SafePath::status(path, &st, false)) {
        SafePath::setMode(path, StagedFile::modeFor(info.fileName(), true, st.st_mode));
        qDebug() << "Set executable flag on" << path;
    }
}
