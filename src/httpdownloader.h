#ifndef HTTPDOWNLOADER_H
#define HTTPDOWNLOADER_H

#include <QByteArray>
#include <QNetworkRequest>
#include <QThread>

class QNetworkReply;

// One HTTP GET on a thread of its own. The object lives in the creating (GUI) thread; run()
// creates a network manager in the worker thread and spins its event loop until the reply is
// in. The reply is read in the GUI thread, `download_available` carries its body (empty on a
// network error), then the thread ends and the object deletes itself. No parent, no retries.
// The answer is hostile until parsed: the body is asked for unencoded, and a reply in another
// content encoding, one larger than the size limit or one not complete within the time limit is
// aborted, which gives empty data.
class HTTPDownloader : public QThread
{
    Q_OBJECT
public:
    explicit HTTPDownloader(const QNetworkRequest& request);
    ~HTTPDownloader() override;

    static constexpr int kDefaultTimeoutMsecs = 30000;
    static constexpr qint64 kDefaultMaximumSize = 1 << 20;
    // Limits for the downloads started afterwards (tests shorten them).
    static void setLimits(int timeoutMsecs, qint64 maximumSize);

signals:
    void download_available(QByteArray data);

protected:
    void run() override;

private slots:
    virtual void on_downloadFinished(QNetworkReply* reply);

private:
    // Aborts the reply (in the worker thread) when its head is refused or its body too large.
    static void guardReply(QNetworkReply* reply, qint64 maximumSize);

    QNetworkRequest request;
    qint64 maximumSize;
    int timeoutMsecs;
    static int s_TimeoutMsecs;
    static qint64 s_MaximumSize;
};

#endif // HTTPDOWNLOADER_H
