#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "prepostinstalllisttaskspecification.h"
#include "updateselfunziptaskspecification.h"

namespace {

// Shares of the steps. They add up to more than 1 (1.15 or 1.2), so each is scaled by the sum of
// its phase: the bar then reaches its end exactly when the last step does.
const qreal kIniWeight = 0.1;
const qreal kListWeight = 0.05;
const qreal kDownloadWeight = 0.4;
const qreal kInstallProgramsWeight = 0.1;
const qreal kReplaceWeight = 0.4;
const qreal kDeleteWeight = 0.05;
const qreal kSelfUnzipWeight = 0.4;

} // namespace

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* networkManager,
                                             Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , networkManager(networkManager)
    , config(config)
{
}

void MainTaskSpecification::execute()
{
    emit message(QString("Starting update process for ")
                 + (config->isClientUpdate == 1 ? "client" : "updater"));
    makeSubtasks();
}

void MainTaskSpecification::reset()
{
    clearTasks();
    lists = DownloadReplaceLists();
    TaskSpecification::reset();
}

void MainTaskSpecification::makeSubtasks()
{
    const bool clientPhase = config->isClientUpdate == 1;
    const qreal sum = kIniWeight + kListWeight + kDownloadWeight + 2 * kInstallProgramsWeight
        + (clientPhase ? kReplaceWeight + kDeleteWeight : kSelfUnzipWeight);

    addTask(new IniDownloadTaskSpecification(networkManager, config, this, kIniWeight / sum));
    addTask(new MakeDownloadReplaceListTaskSpecification(config, &lists, this, kListWeight / sum));
    addTask(new DownloadFileListTaskSpecification(&lists.downloadList, networkManager, config, this,
                                                  kDownloadWeight / sum));
    addTask(new PrePostInstallListTaskSpecification(&lists.preinstallList, config, this,
                                                    kInstallProgramsWeight / sum));
    if (clientPhase) {
        addTask(new FileReplaceListTaskSpecification(&lists.replaceList, config, this,
                                                     kReplaceWeight / sum));
        addTask(new FileDeleteListTaskSpecification(&lists.deleteList, config, this,
                                                    kDeleteWeight / sum));
    } else {
        addTask(new UpdateSelfUnzipTaskSpecification(&lists.replaceList, config, this,
                                                     kSelfUnzipWeight / sum));
    }
    addTask(new PrePostInstallListTaskSpecification(&lists.postinstallList, config, this,
                                                    kInstallProgramsWeight / sum));
    startTasks();
}
