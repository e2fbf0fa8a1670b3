#include "httpdownloader.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

int HTTPDownloader::s_TimeoutMsecs = HTTPDownloader::kDefaultTimeoutMsecs;
qint64 HTTPDownloader::s_MaximumSize = HTTPDownloader::kDefaultMaximumSize;

HTTPDownloader::HTTPDownloader(const QNetworkRequest& request)
    : request(request)
    , maximumSize(s_MaximumSize)
    , timeoutMsecs(s_TimeoutMsecs)
{
    // Without this Qt asks for gzip and inflates the answer without any bound.
    this->request.setRawHeader("Accept-Encoding", "identity");
    // Deleting a QThread whose run() has not returned aborts the program, so the deletion waits
    // for the thread's end instead of being scheduled from inside run().
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

HTTPDownloader::~HTTPDownloader()
{
    wait();
}

void HTTPDownloader::setLimits(int timeoutMsecs, qint64 maximumSize)
{
    s_TimeoutMsecs = timeoutMsecs;
    s_MaximumSize = maximumSize;
}

void HTTPDownloader::run()
{
    QNetworkAccessManager* manager = new QNetworkAccessManager;
    connect(manager, &QNetworkAccessManager::finished, this, &HTTPDownloader::on_downloadFinished);
    QNetworkReply* reply = manager->get(request);
    guardReply(reply, maximumSize);
    // Stopped in this thread when the reply finishes, so it never aborts a reply being read.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    connect(&deadline, &QTimer::timeout, reply, [reply] {
        qDebug() << "Version query timed out";
        reply->abort();
    });
    connect(reply, &QNetworkReply::finished, &deadline, &QTimer::stop);
    deadline.start(timeoutMsecs);
    exec();
    delete manager;
}

void HTTPDownloader::guardReply(QNetworkReply* reply, qint64 maximumSize)
{
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, maximumSize] {
        const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!encoding.isEmpty() && encoding.toLower() != "identity") {
            qDebug() << "Version reply refused: content encoding" << encoding;
            reply->abort();
        } else if (length.isValid() && length.toLongLong() > maximumSize) {
            qDebug() << "Version reply refused: announced" << length.toLongLong() << "bytes";
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::downloadProgress, reply,
            [reply, maximumSize](qint64 received, qint64) {
                if (received <= maximumSize || reply->isFinished())
                    return;
                qDebug() << "Version reply refused: larger than" << maximumSize << "bytes";
                reply->abort();
            });
}

void HTTPDownloader::on_downloadFinished(QNetworkReply* reply)
{
    QByteArray data;
    if (reply->error() == QNetworkReply::NoError && reply->bytesAvailable() <= maximumSize)
        data = reply->readAll();
    emit download_available(data);
    reply->deleteLater();
    quit();
}
