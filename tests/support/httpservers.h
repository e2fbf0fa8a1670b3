#ifndef VXTEST_HTTPSERVERS_H
#define VXTEST_HTTPSERVERS_H

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace vxtest {

// nginx serving `docRoot` on a free port of 127.0.0.1, with its configuration, pid and logs in a
// temporary folder. Runs as one foreground process; stopped by stop() or the destructor.
class NginxServer
{
public:
    explicit NginxServer(const QString& docRoot);
    // A proxy instead: every request goes on to `upstream` ("http://127.0.0.1:<port>"), and its
    // request line is logged for requestLines(). `docRoot` is not served.
    NginxServer(const QString& docRoot, const QString& upstream);
    ~NginxServer();

    // Starts nginx and waits until it accepts connections. False (see errorText) when it cannot.
    bool start();
    void stop();

    quint16 port() const { return m_Port; }
    // "http://127.0.0.1:<port>/"
    QString baseUrl() const;
    QString errorText() const { return m_Error; }
    // A proxy's request lines so far ("GET http://127.0.0.1:<port>/7/a HTTP/1.1").
    QStringList requestLines() const;

private:
    bool startOnPort(quint16 port);

    QString m_DocRoot;
    QString m_Upstream;
    QTemporaryDir m_Dir;
    QProcess m_Process;
    quint16 m_Port = 0;
    QString m_Error;
};

// The scripted fault server (faultserver.py) on a free port of 127.0.0.1, serving `docRoot`.
// Each path can be scripted to answer with a status, stall, hold, cut off or reset its transfer;
// see the script for the step fields. All calls block briefly on the server's control pipe and
// need no event loop.
class FaultServer
{
public:
    explicit FaultServer(const QString& docRoot);
    ~FaultServer();

    bool start();
    void stop();

    quint16 port() const { return m_Port; }
    QString baseUrl() const;

    // Installs the steps (a JSON array text) for requests of `path` ("/7/a/x.bin").
    bool script(const QString& path, const QString& stepsJson);
    // Lets `count` held transfers of `path` go on.
    bool release(const QString& path, int count = 1);
    // Requests seen for `path` so far.
    int requests(const QString& path);
    // The value of header `name` (any case) in the last request for `path`; null when absent.
    QString requestHeader(const QString& path, const QString& name);
    // Requests being answered now, and the most answered at once so far.
    int active();
    int maxActive();
    // Starts counting the most requests answered at once afresh.
    bool resetMaxActive();

private:
    QJsonObject command(const QJsonObject& cmd);

    QString m_DocRoot;
    QProcess m_Process;
    quint16 m_Port = 0;
};

// A port of 127.0.0.1 that was free a moment ago.
quint16 freeLoopbackPort();

// True when a TCP connection to 127.0.0.1:port is accepted.
bool portAccepts(quint16 port);

} // namespace vxtest

#endif // VXTEST_HTTPSERVERS_H
