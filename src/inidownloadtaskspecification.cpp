#include "inidownloadtaskspecification.h"

#include "checksigfunc.h"
#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "safepath.h"

#include <QDebug>
#include <QFile>

#include <cstdio>

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* nam,
                                                           Configuration* config, QObject* parent,
                                                           qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , networkManager(nam)
    , config(config)
{
}

QString IniDownloadTaskSpecification::productIniName(bool clientUpdate)
{
    return QLatin1String(clientUpdate ? "vx3_" : "") + Configuration::defaultClientType(clientUpdate)
        + QLatin1String(".ini");
}

void IniDownloadTaskSpecification::execute()
{
    emit message("Download / check product ini");
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    clearTasks();
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString ini = productIniName(config->isClientUpdate == 1);
    const QString packed = packedName(ini);
    const QString sig = signatureName(ini);
    const QString workDir = config->workDir + "/";
    qDebug() << "makeSubtasksAndStart" << ini << packed;

    // A run killed while fetching the signature leaves it cut short: fetch both again rather
    // than fail on them.
    if (QFile::exists(workDir + ini) && QFile::exists(workDir + sig)
        && !CheckSigFunc(workDir + ini, QString()).run()) {
        qDebug() << "Cached product ini does not verify, fetching it again";
        removeCachedFiles();
    }
    qreal checkWeight = 1.0;
    if (!QFile::exists(workDir + ini)) {
        qDebug() << "Requesting" << packed;
        auto* download = new DownloadTaskSpecification(networkManager, packed,
                                                       config->versionNumber, workDir + packed,
                                                       -1, this, kDownloadWeight);
        download->setMaximumSize(kMaximumIniSize);
        addTask(download);
        // The ini is never part of what a failed run rolls back. It takes its name only once
        // complete, so a run killed while unpacking leaves nothing that looks fetched; connected
        // before the list's own handler, the rename comes before the next sub-task starts.
        auto* unpack = new FileUnpackTaskSpecification_lzma2(nullptr, workDir + packed,
                                                             unpackingName(workDir + ini), this,
                                                             kUnpackWeight);
        unpack->setMaximumSize(kMaximumIniSize);
        connect(unpack, &TaskSpecification::finished, this,
                &IniDownloadTaskSpecification::onIniUnpacked);
        addTask(unpack);
        checkWeight -= kDownloadWeight + kUnpackWeight;
    }
    if (!QFile::exists(workDir + sig)) {
        qDebug() << "Requesting" << sig;
        auto* download = new DownloadTaskSpecification(networkManager, sig, config->versionNumber,
                                                       workDir + sig, -1, this, kDownloadWeight);
        download->setMaximumSize(kMaximumSignatureSize);
        addTask(download);
        checkWeight -= kDownloadWeight;
    }

    auto* check = new CheckSignatureTaskSpecification(workDir + ini, QString(), true, this,
                                                      checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addTask(check);

    startTasks();
}

void IniDownloadTaskSpecification::onIniUnpacked()
{
    const QString ini = config->workDir + "/" + productIniName(config->isClientUpdate == 1);
    // A failed rename leaves no ini: the check that follows fails and cleans up.
    if (!SafePath::rename(unpackingName(ini), ini))
        qDebug() << "Could not rename" << unpackingName(ini) << "to" << ini;
}

void IniDownloadTaskSpecification::onSigCheckDone(bool ok, CheckSignatureTaskSpecification* task)
{
    Q_UNUSED(task);
    if (ok || state != TASK_RUNNING)
        return;
    qDebug() << "Failed to verify product ini, aborting";
    emit message("Could not verify the product ini file. Aborting");
    removeCachedFiles();
    // This task ends here; the check task's own failure that follows must not end it again.
    completed = true;
    fail();
}

void IniDownloadTaskSpecification::subtasksDone()
{
    if (computeOutcome() == TASK_FAILED)
        removeCachedFiles();
    ComposedTaskSpecification::subtasksDone();
}

void IniDownloadTaskSpecification::removeCachedFiles()
{
    // Kept, a broken ini or signature would fail every later run of this release unfetched.
    const QString ini = config->workDir + "/" + productIniName(config->isClientUpdate == 1);
    for (const QString& path : {packedName(ini), unpackingName(ini), ini, signatureName(ini)}) {
        if (QFile::remove(path))
            qDebug() << "Removed rejected" << path;
    }
}
