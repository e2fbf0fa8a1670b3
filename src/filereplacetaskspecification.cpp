#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "filerenametaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {
const QSet<QString>& executableNames()
{
    static const QSet<QString> names{"vx3client_linux_x86", "vx3client_linux_amd64",
                                     "vx3client_runscript.sh", "update", "error_report",
                                     "package_inst", "QtWebEngineProcess"};
    return names;
}

const QSet<QString>& sharedLibrarySuffixes()
{
    static const QSet<QString> suffixes{"so", "so.0", "so.1", "so.4", "so.5"};
    return suffixes;
}

// rwx for owner, user, group and others.
const QFileDevice::Permissions kExecutablePermissions(0x7777);
} // namespace

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

    dstExisted = QFileInfo::exists(dst);
    aside = work.filePath(entry.effectiveName() + "_replaced");
    moveAsideTask = nullptr;
    writeTask = nullptr;

    if (!entry.hasTarget()) {
        // A plain copy never writes over an installed file: it fails instead.
        writeTask = new FileCopyTaskSpecification(&journal, src, dst, this, 1.0);
        addTask(writeTask);
    } else {
        if (entry.hasPatch()) {
            qDebug() << "HAS PATCH";
            // Taken before the installed file is moved aside.
            const QString oldCopy = work.filePath(entry.effectiveName() + "_old");
            prepareOldCopy(oldCopy);
            emit message(QString("Patching %1").arg(entry.effectiveName()));
            addMoveAside();
            writeTask = new FileTaskSpecification_patch(&journal, oldCopy, patchFile, dst, this, 0.8);
        } else if (QFileInfo(entry.name).suffix() == "_lzma2_") {
            addMoveAside();
            writeTask = new FileUnpackTaskSpecification_lzma2(&journal, src, dst, this, 0.8);
        } else {
            addMoveAside();
            writeTask = new FileUnpackTaskSpecification_zip(&journal, src, dst, this, 0.8);
        }
        addTask(writeTask);
        addTask(new CheckSignatureTaskSpecification(dst, entry.sha512, true, this, 0.2));
    }
    state = TASK_RUNNING;
    startTasks();
}

void FileReplaceTaskSpecification::prepareOldCopy(const QString& oldCopy)
{
    if (QFile::exists(oldCopy))
        qDebug() << "Remove" << oldCopy << QFile::remove(oldCopy);
    const QString oldDir = QFileInfo(oldCopy).absolutePath();
    if (!QFileInfo::exists(oldDir))
        qDebug() << "tempOldAbsPath" << oldDir << "Created" << QDir().mkpath(oldDir);
    // A failed copy shows as a failed patch.
    qDebug() << "Copy" << dst << "->" << oldCopy << QFile::copy(dst, oldCopy);
}

void FileReplaceTaskSpecification::addMoveAside()
{
    // The write steps write over an existing file; kept aside, the earlier content can come back
    // on undo. It goes into the work directory, so nothing extra is left in the installation.
    if (!dstExisted || QFileInfo(dst).isDir())
        return;
    if (QFile::exists(aside))
        QFile::remove(aside);
    QDir().mkpath(QFileInfo(aside).absolutePath());
    moveAsideTask = new FileRenameTaskSpecification(dst, aside, &journal, this, 0.0);
    addTask(moveAsideTask);
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (computeOutcome() == TASK_FINISHED) {
        // The list's journal takes over; this one must not undo the records a second time.
        if (parentJournal)
            parentJournal->appendList(journal);
        journal.clear();
        keepPermissionsOfReplaced();
        makeSingleFileExecutable(dst);
    } else {
        removeLeftover();
        journal.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::removeLeftover()
{
    // A finished write step is in the journal; one that never ran wrote nothing.
    if (!writeTask || writeTask->getState() != TASK_FAILED)
        return;
    const bool dstWasFree =
        !dstExisted || (moveAsideTask && moveAsideTask->getState() == TASK_FINISHED);
    if (dstWasFree && QFileInfo::exists(dst))
        qDebug() << "Removed unfinished" << dst << QFile::remove(dst);
}

void FileReplaceTaskSpecification::keepPermissionsOfReplaced()
{
    // Writing over the installed file would have kept its mode; the new file must too.
    if (moveAsideTask && moveAsideTask->getState() == TASK_FINISHED)
        QFile::setPermissions(dst, QFileInfo(aside).permissions());
}

void FileReplaceTaskSpecification::reset()
{
    clearTasks();
    moveAsideTask = nullptr;
    writeTask = nullptr;
    journal.rollback(this);
    TaskSpecification::reset();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path)
{
    const QFileInfo info(path);
    qDebug() << "Executable check" << path << info.fileName() << info.completeSuffix();
    if (executableNames().contains(info.fileName())
        || sharedLibrarySuffixes().contains(info.completeSuffix())) {
        QFile::setPermissions(path, kExecutablePermissions);
        qDebug() << "Set executable flag on" << path;
    }
}
