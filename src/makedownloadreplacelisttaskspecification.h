#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;

// Compiles the download, replace, delete and install-program lists from the product ini on the
// global thread pool (see MakeDownloadReplaceListFunc). The worker fills the task's own lists;
// only a successful run copies them over the caller's, so a failed run leaves those untouched.
// Lives in the GUI thread; the configuration and the caller's lists are not owned.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    MakeDownloadReplaceListTaskSpecification(Configuration* config,
                                             DownloadReplaceLists* callerLists, QObject* parent,
                                             qreal weight);
    // Waits for a worker still writing into the own lists.
    ~MakeDownloadReplaceListTaskSpecification() override;

    ASyncFunc* createFunc() override;
    // On success, and only while running, copies the own lists over the caller's; then ends the
    // task.
    void runDone(bool ok) override;

private:
    Configuration* config;
    DownloadReplaceLists* callerLists;
    DownloadReplaceLists lists;
};

#endif // MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
