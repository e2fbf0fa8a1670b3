#include "localhttpserver.h"

#include <QHostAddress>
#include <QTcpSocket>

LocalHttpServer::LocalHttpServer(QObject* parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &LocalHttpServer::onNewConnection);
}

bool LocalHttpServer::start()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

void LocalHttpServer::setReply(int status, const QByteArray& reason, const QByteArray& body)
{
    statusLine = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason;
    replyBody = body;
}

QString LocalHttpServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
}

QString LocalHttpServer::refusingUrl(const QString& path)
{
    // Take a free port and give it back: nothing listens there afterwards.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path);
}

void LocalHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void LocalHttpServer::onReadyRead(QTcpSocket* socket)
{
    QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
        return;
    socket->setProperty("answered", true);
    ++requests;
    lastLine = request.left(request.indexOf("\r\n"));
    socket->write(statusLine + "\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                  + QByteArray::number(replyBody.size()) + "\r\nConnection: close\r\n\r\n" + replyBody);
    socket->disconnectFromHost();
}
