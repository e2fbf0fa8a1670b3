#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadentry.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

// One entry of the download list: the HTTP download of section/name into the work directory
// (weight 0.8), then the check of the fetched file against the entry's SHA-512 digest, or against
// its signature file when the entry lists no digest (weight 0.2). A listed digest that does not
// match fails the task; a failed signature check is only reported. Owns its two sub-tasks, which
// are built afresh by every execute. GUI thread only.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileTaskSpecification(const DownloadEntry& entry, QNetworkAccessManager* nam,
                                  Configuration* config, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    void makeSubtasksAndStart();

    DownloadEntry entry;
    QNetworkAccessManager* networkManager;
    Configuration* config;
    DownloadTaskSpecification* downloadTask = nullptr;
};

#endif // DOWNLOADFILETASKSPECIFICATION_H
