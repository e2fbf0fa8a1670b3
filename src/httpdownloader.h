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
class HTTPDownloader : public QThread
{
    Q_OBJECT
public:
    explicit HTTPDownloader(const QNetworkRequest& request);
    ~HTTPDownloader() override;

signals:
    void download_available(QByteArray data);

protected:
    void run() override;

private slots:
    virtual void on_downloadFinished(QNetworkReply* reply);

private:
    QNetworkRequest request;
};

#endif // HTTPDOWNLOADER_H
