#ifndef LOCALHTTPSERVER_H
#define LOCALHTTPSERVER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A one-answer HTTP/1.1 server on 127.0.0.1 for tests: every GET receives the same status line
// and body, then the connection closes. Lives in the thread that creates it.
class LocalHttpServer : public QObject
{
    Q_OBJECT
public:
    explicit LocalHttpServer(QObject* parent = nullptr);

    // Listens on a free port; false when no port could be had.
    bool start();
    void setReply(int status, const QByteArray& reason, const QByteArray& body);
    QString url(const QString& path) const;
    int requestCount() const { return requests; }
    QByteArray lastRequestLine() const { return lastLine; }

    // A URL on 127.0.0.1 whose port nothing listens on.
    static QString refusingUrl(const QString& path);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);

    QTcpServer server;
    QByteArray statusLine = "HTTP/1.1 200 OK";
    QByteArray replyBody;
    int requests = 0;
    QByteArray lastLine;
};

#endif // LOCALHTTPSERVER_H
