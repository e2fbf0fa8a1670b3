#include "singleinstancechecker.h"

#include "installationlock.h"
#include "runtimefolder.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
const int kTimeoutMs = 1000;
}

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    QString reason;
    const QString name = socketPath(&reason);
    if (name.isEmpty()) {
        qDebug() << "SingleInstanceChecker: no private folder for the socket:" << reason;
        return;
    }
    if (server->listen(name))
        return;
    // The socket file of a crashed run would hide every later instance for good; it is taken
    // over when nobody answers on it. A live instance's socket stays.
    if (server->serverError() == QAbstractSocket::AddressInUseError && !anyoneListening(name)) {
        QLocalServer::removeServer(name);
        if (server->listen(name))
            return;
    }
    qDebug() << "SingleInstanceChecker: cannot listen on" << name << server->errorString();
}

bool SingleInstanceChecker::anyoneListening(const QString& name)
{
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    return probe.waitForConnected(kTimeoutMs);
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    if (connection)
        connection->close();
}

void SingleInstanceChecker::stopListening()
{
    server->close();
}

QString SingleInstanceChecker::serverName()
{
    const QString installation = InstallationLock::installation();
    return serverNameFor(installation.isEmpty() ? QCoreApplication::applicationDirPath() : installation);
}

QString SingleInstanceChecker::socketPath(QString* reason)
{
    const QString folder = RuntimeFolder::path(reason);
    return folder.isEmpty() ? QString() : folder + QLatin1Char('/') + serverName();
}

QString SingleInstanceChecker::serverNameFor(const QString& installDir)
{
    return QStringLiteral("VX3ClientUpdate") + InstallationLock::key(installDir);
}

bool SingleInstanceChecker::sendMessage(const QString& message)
{
    const QString path = socketPath();
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kTimeoutMs))
        return false;
    const QByteArray bytes = message.toLatin1();
    if (socket.write(bytes) <= 0)
        return false;
    return socket.waitForBytesWritten(kTimeoutMs);
}

void SingleInstanceChecker::onNewConnection()
{
    dropConnection();
    connection = server->nextPendingConnection();
    if (connection)
        connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    const QByteArray data = connection->readAll();
    const int end = data.indexOf('\0');
    const QString message = QString::fromLatin1(end < 0 ? data : data.left(end));
    // Forgotten before the signal, so that a receiver that spins the event loop cannot reach a
    // socket that is already on its way out.
    dropConnection();
    emit otherInstanceActivate(message);
}

void SingleInstanceChecker::dropConnection()
{
    if (!connection)
        return;
    connection->disconnect(this);
    connection->deleteLater();
    connection = nullptr;
}
