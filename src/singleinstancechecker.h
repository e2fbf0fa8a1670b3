#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: a running updater listens on a local socket
// named after its installation, and a second one delivers a short message to it and leaves. The
// socket lies in the user's private runtime folder, where no other user can put one first.
// Owned by the main window, so the server lives as long as the window (or until it stops
// listening) and removes the socket when it goes; GUI thread only.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    // Listens at socketPath(); a socket left by a crashed run is replaced, a live one is not
    // (this instance then runs without a server).
    explicit SingleInstanceChecker(QObject* parent = nullptr);
    ~SingleInstanceChecker() override;

    // Stops listening and removes the socket; done before the installation's lock goes to
    // another run, which then listens under the same name.
    void stopListening();

    // The socket name of this run's installation: the one whose lock it took, else the
    // program's folder.
    static QString serverName();
    // Where that socket lies: serverName() in the private runtime folder; empty (with the
    // reason) when there is no such folder.
    static QString socketPath(QString* reason = nullptr);
    // The socket name for an installation folder; two spellings of one folder give one name.
    static QString serverNameFor(const QString& installDir);
    // True when a running instance took the message (waits at most 1000 ms to connect and
    // 1000 ms to write). An empty message is never delivered.
    static bool sendMessage(const QString& message);

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    static bool anyoneListening(const QString& name);
    void dropConnection();

    QLocalServer* server;
    QLocalSocket* connection = nullptr;
};

#endif // SINGLEINSTANCECHECKER_H
