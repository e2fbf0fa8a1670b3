#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(QList<DownloadEntry>* list,
                                                                     QNetworkAccessManager* nam,
                                                                     Configuration* config,
                                                                     QObject* parent, qreal weight)
    : ComposedTaskSpecification(config->streams, weight, parent)
    , list(list)
    , networkManager(nam)
    , config(config)
{
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::reset()
{
    clearTasks();
    total = 0;
    // Without this a second run would never end: its last file would find the run completed.
    cancelSeen = false;
    completed = false;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::getDownloadStats(quint64& downloadDone,
                                                         quint64& downloadTotal, quint64& speed,
                                                         bool& downloading)
{
    ComposedTaskSpecification::getDownloadStats(downloadDone, downloadTotal, speed, downloading);
    downloadTotal = quint64(total);
}

QStringList DownloadFileListTaskSpecification::directoriesOf(const QList<DownloadEntry>& entries)
{
    QSet<QString> seen{"."};
    QStringList dirs;
    for (const DownloadEntry& entry : entries) {
        const QString dir = QFileInfo(entry.name).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        dirs << dir;
    }
    return dirs;
}

bool DownloadFileListTaskSpecification::createDirectories()
{
    const QDir work(config->workDir);
    for (const QString& dir : directoriesOf(*list)) {
        if (!work.mkpath(dir)) {
            emit message(tr("Could not create dir %1").arg(work.canonicalPath() + "/" + dir));
            fail();
            return false;
        }
    }
    return true;
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (list->isEmpty()) {
        emit message(tr("No downloads needed"));
        succeed();
        return;
    }
    if (!createDirectories())
        return;
    emit message(tr("Downloading files"));
    const qreal share = 1.0 / list->size();
    for (const DownloadEntry& entry : *list) {
        addTask(new DownloadFileTaskSpecification(entry, networkManager, config, this, share));
        total += qint64(entry.size);
    }
    state = TASK_RUNNING;
    startTasks();
}
