#include "httpdownloader.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

HTTPDownloader::HTTPDownloader(const QNetworkRequest& request)
    : request(request)
{
    // Deleting a QThread whose run() has not returned aborts the program, so the deletion waits
    // for the thread's end instead of being scheduled from inside run().
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

HTTPDownloader::~HTTPDownloader()
{
    wait();
}

void HTTPDownloader::run()
{
    QNetworkAccessManager* manager = new QNetworkAccessManager;
    connect(manager, &QNetworkAccessManager::finished, this, &HTTPDownloader::on_downloadFinished);
    manager->get(request);
    exec();
    delete manager;
}

void HTTPDownloader::on_downloadFinished(QNetworkReply* reply)
{
    QByteArray data;
    if (reply->error() == QNetworkReply::NoError)
        data = reply->readAll();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
