#include "makedownloadreplacelisttaskspecification.h"

#include "makedownloadreplacelistfunc.h"

#include <QThreadPool>

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* config, DownloadReplaceLists* callerLists, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , config(config)
    , callerLists(callerLists)
{
}

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification()
{
    // The worker writes through a pointer to `lists`; it must not outlive them.
    if (state == TASK_RUNNING)
        QThreadPool::globalInstance()->waitForDone(-1);
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunc()
{
    return new MakeDownloadReplaceListFunc(config, &lists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    // A result arriving after a reset is stale: it must not refill the caller's lists.
    if (ok && state == TASK_RUNNING && callerLists)
        *callerLists = lists;
    ASyncTaskSpecification::runDone(ok);
}
