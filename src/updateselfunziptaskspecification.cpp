#include "updateselfunziptaskspecification.h"

#include "configuration.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "safepath.h"
#include "stagedcopy.h"
#include "stagedfile.h"
#include "updatefileentry.h"
#include "updateinidata.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <sys/stat.h>

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(QList<UpdateFileEntry>* list,
                                                                   Configuration* config,
                                                                   QObject* parent, qreal weight)
    : ComposedTaskSpecification(2, weight, parent)
    , list(list)
    , config(config)
{
}

void UpdateSelfUnzipTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void UpdateSelfUnzipTaskSpecification::makeSubtasksAndStart()
{
    if (list && config) {
        const int n = std::count_if(list->cbegin(), list->cend(),
                                    [](const UpdateFileEntry& e) { return e.hasTarget(); });
        for (const UpdateFileEntry& entry : qAsConst(*list)) {
            if (entry.hasTarget())
                addExtraction(entry, 1.0 / n);
        }
    }
    state = TASK_RUNNING;
    startTasks();
}

void UpdateSelfUnzipTaskSpecification::addExtraction(const UpdateFileEntry& entry, qreal weight)
{
    const QString name = entry.effectiveName();
    qDebug() << "Extracting updater file" << entry.name << name << entry.hasPatch();
    const QDir work(config->workDir);
    const QString dst = work.filePath(name);
    const QString dstDir = QFileInfo(dst).absolutePath();
    if (!QFileInfo::exists(dstDir))
        QDir().mkpath(dstDir);

    if (entry.hasPatch()) {
        // A missing installed file leaves no old copy, and the patch fails on that.
        const QString oldCopy = work.filePath(name + "_old");
        SafePath::remove(oldCopy);
        StagedFile::copyFile(QDir(config->installDir).filePath(name), oldCopy, 0600,
                             entry.oldSize);
        emit message(QString("Patching %1").arg(name));
        addTask(new FileTaskSpecification_patch(nullptr, oldCopy, work.filePath(entry.patch), dst,
                                                this, weight));
    } else if (QFileInfo(entry.name).suffix() == "_lzma2_") {
        addTask(new FileUnpackTaskSpecification_lzma2(nullptr, work.filePath(entry.name), dst, this,
                                                      weight));
    } else {
        addTask(new FileUnpackTaskSpecification_zip(nullptr, work.filePath(entry.name), dst, this,
                                                    weight));
    }
}

void UpdateSelfUnzipTaskSpecification::subtasksDone()
{
    if (!config) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    setExtractedModes();
    const QFileInfo updater(config->workDir + "/update");
    qDebug() << "chmod +x" << updater.fileName() << updater.exists();
    // Only the owner (the one who runs it next) may run it; nobody else may change it before.
    if (updater.exists() && !SafePath::setMode(updater.filePath(), 0700))
        qDebug() << "chmod failed" << StagedFile::lastError();

    if (!UpdateIniData::modifyTempIni(config->workDir)) {
        qDebug() << "Failed to write temp update.ini";
        emit error(QString::fromUtf16(UpdateIniData::tempWriteFailedMessage));
        // The new updater could not resume the session: the step has failed and must end.
        fail();
        return;
    }
    copyTranslations();
    ComposedTaskSpecification::subtasksDone();
}

void UpdateSelfUnzipTaskSpecification::setExtractedModes()
{
    // The writers create files as the umask says; what this updater writes is never writable by
    // group or others, whatever the umask.
    if (!list)
        return;
    const QDir work(config->workDir);
    for (const UpdateFileEntry& entry : qAsConst(*list)) {
        if (!entry.hasTarget())
            continue;
        const QString name = entry.effectiveName();
        if (QFileInfo::exists(work.filePath(name)))
            SafePath::setMode(work.filePath(name),
                              StagedFile::modeFor(QFileInfo(name).fileName(), false, 0));
    }
}

void UpdateSelfUnzipTaskSpecification::copyTranslations()
{
    const QDir source(Configuration::appDirPath() + "/translations");
    const QString targetDir = config->workDir + "/translations";
    if (!QFileInfo::exists(targetDir))
        QDir().mkdir(targetDir);
    const QStringList files =
        source.entryList(QStringList{"update_*.qm"}, QDir::Files, QDir::NoSort);
    for (const QString& file : files) {
        const QString from = source.filePath(file);
        const QString target = targetDir + "/" + file;
        qDebug() << "Copying qm file" << from << target;
        // The translations folder may be one that others can write: no link or fifo is taken.
        if (!QFile::exists(target))
            StagedCopy::copy(from, target, 0, false);
    }
}

void UpdateSelfUnzipTaskSpecification::reset()
{
    clearTasks();
    TaskSpecification::reset();
}
