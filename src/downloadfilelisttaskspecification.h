#ifndef DOWNLOADFILELISTTASKSPECIFICATION_H
#define DOWNLOADFILELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadentry.h"

#include <QList>
#include <QStringList>

class Configuration;
class QNetworkAccessManager;

// The download step: makes the directories the entries need below the work directory, then runs
// one DownloadFileTaskSpecification per entry, at most the configuration's `streams` at once.
// Its download total is the sum of all entry sizes from the start. The list, the network manager
// and the configuration are borrowed; the file tasks are owned and rebuilt by every execute.
// GUI thread only.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileListTaskSpecification(QList<DownloadEntry>* list, QNetworkAccessManager* nam,
                                      Configuration* config, QObject* parent, qreal weight);

    void execute() override;
    void reset() override;
    void getDownloadStats(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                          bool& downloading) override;

    // The distinct directory parts of the entries' names, in list order, "." (none) left out.
    static QStringList directoriesOf(const QList<DownloadEntry>& entries);

protected:
    // Makes each directory once; on failure reports it, fails the task and returns false.
    bool createDirectories();

private:
    void makeSubtasksAndStart();

    QList<DownloadEntry>* list;
    QNetworkAccessManager* networkManager;
    Configuration* config;
    qint64 total = 0;
};

#endif // DOWNLOADFILELISTTASKSPECIFICATION_H
