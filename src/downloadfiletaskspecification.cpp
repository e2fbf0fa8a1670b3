#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry& entry,
                                                             QNetworkAccessManager* nam,
                                                             Configuration* config,
                                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , entry(entry)
    , networkManager(nam)
    , config(config)
{
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    clearTasks();
    downloadTask = nullptr;
    // Without this a second run would never end (see the list's reset).
    cancelSeen = false;
    completed = false;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString localFile = config->workDir + "/" + entry.name;
    downloadTask = new DownloadTaskSpecification(networkManager, entry.section + "/" + entry.name,
                                                 config->versionNumber, localFile,
                                                 qint64(entry.size), this, 0.8);
    addTask(downloadTask);

    // A file that fails its check must not go on to be installed or run: later steps check
    // nothing for some files. This holds as much for a file listed without a digest, which is
    // judged by a signature file beside it.
    auto* check = new CheckSignatureTaskSpecification(localFile, entry.sha512, true, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addTask(check);

    state = TASK_RUNNING;
    startTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task)
{
    Q_UNUSED(pass);
    Q_UNUSED(task);
}
