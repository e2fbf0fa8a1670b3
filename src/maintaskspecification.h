#ifndef MAINTASKSPECIFICATION_H
#define MAINTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;
class QNetworkAccessManager;

// Root task of one run: product ini download and check, list compilation, downloads, pre-install
// programs, then file replacement and deletion (client phase) or the self-unzip of the new updater
// (updater phase), and the post-install programs, strictly one after another. Owns the five work
// lists that the compiler fills and the later steps read; the sub-tasks are its children and
// borrow those lists. The network manager and the configuration are borrowed. GUI thread only.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(QNetworkAccessManager* networkManager, Configuration* config,
                          QObject* parent, qreal weight);

    void execute() override;
    // Discards the sub-tasks and empties the lists, then the plain reset.
    void reset() override;

    const DownloadReplaceLists& getLists() const { return lists; }

protected:
    void makeSubtasks();

private:
    QNetworkAccessManager* networkManager;
    Configuration* config;
    DownloadReplaceLists lists;
};

#endif // MAINTASKSPECIFICATION_H
