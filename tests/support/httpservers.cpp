#include "httpservers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace vxtest {

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool portAccepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = socket.waitForConnected(200);
    socket.abort();
    return ok;
}

// ---- nginx ----

static const char kNginxConf[] = R"(daemon off;
master_process off;
worker_processes 1;
pid %1/nginx.pid;
error_log %1/error.log warn;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path %1/body;
    proxy_temp_path %1/proxy;
    fastcgi_temp_path %1/fastcgi;
    uwsgi_temp_path %1/uwsgi;
    scgi_temp_path %1/scgi;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:%2;
        %3
    }
}
)";

// As a proxy: every request goes on to the upstream server, and its request line is logged.
static const char kProxyServerBody[] = R"(access_log %1/access.log proxylog;
        location / { proxy_pass %2; })";

NginxServer::NginxServer(const QString& docRoot)
    : m_DocRoot(QDir(docRoot).absolutePath())
{
}

NginxServer::NginxServer(const QString& docRoot, const QString& upstream)
    : m_DocRoot(QDir(docRoot).absolutePath())
    , m_Upstream(upstream)
{
}

NginxServer::~NginxServer() { stop(); }

QString NginxServer::baseUrl() const { return QString("http://127.0.0.1:%1/").arg(m_Port); }

QStringList NginxServer::requestLines() const
{
    QFile log(m_Dir.path() + "/access.log");
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
}

bool NginxServer::start()
{
    if (!m_Dir.isValid()) {
        m_Error = "no temporary folder";
        return false;
    }
    // Another process may take the probed port before nginx binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOnPort(freeLoopbackPort()))
            return true;
    }
    return false;
}

bool NginxServer::startOnPort(quint16 port)
{
    const QString dir = m_Dir.path();
    const QString conf = dir + "/nginx.conf";
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_Error = "cannot write " + conf;
        return false;
    }
    QString text = QString(kNginxConf).arg(dir).arg(port);
    if (m_Upstream.isEmpty())
        text = text.arg("root " + m_DocRoot + ";");
    else
        text = text.arg(QString(kProxyServerBody).arg(dir, m_Upstream))
                   .replace("http {", "http {\n    log_format proxylog '$request';");
    file.write(text.toUtf8());
    file.close();

    m_Process.setProcessChannelMode(QProcess::MergedChannels);
    // Through a small launcher that asks the kernel to end nginx with this process, so that a
    // test that crashes leaves no server behind.
    const QString launcher = "import ctypes, os, signal, sys\n"
                             "ctypes.CDLL(None).prctl(1, signal.SIGTERM)\n"
                             "os.execv(sys.argv[1], sys.argv[1:])\n";
    m_Process.start("/usr/bin/python3", {"-c", launcher, "/usr/sbin/nginx", "-p", dir, "-e",
                                dir + "/error.log", "-c", conf});
    if (!m_Process.waitForStarted(5000)) {
        m_Error = "nginx did not start: " + m_Process.errorString();
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        if (m_Process.state() != QProcess::Running) {
            m_Error = "nginx ended: " + QString::fromUtf8(m_Process.readAll());
            QFile log(dir + "/error.log");
            if (log.open(QIODevice::ReadOnly))
                m_Error += QString::fromUtf8(log.readAll());
            return false;
        }
        if (portAccepts(port)) {
            m_Port = port;
            return true;
        }
        QThread::msleep(10);
    }
    m_Error = "nginx did not accept connections";
    stop();
    return false;
}

void NginxServer::stop()
{
    if (m_Process.state() == QProcess::NotRunning)
        return;
    m_Process.terminate();
    if (!m_Process.waitForFinished(5000)) {
        m_Process.kill();
        m_Process.waitForFinished(5000);
    }
}

// ---- fault server ----

FaultServer::FaultServer(const QString& docRoot)
    : m_DocRoot(QDir(docRoot).absolutePath())
{
}

FaultServer::~FaultServer() { stop(); }

QString FaultServer::baseUrl() const { return QString("http://127.0.0.1:%1/").arg(m_Port); }

bool FaultServer::start()
{
    m_Process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_Process.start("/usr/bin/python3", {VXTEST_FAULTSERVER, "--root", m_DocRoot});
    if (!m_Process.waitForStarted(5000))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (!m_Process.canReadLine() && timer.elapsed() < 10000)
        m_Process.waitForReadyRead(100);
    if (!m_Process.canReadLine())
        return false;
    const QJsonObject hello = QJsonDocument::fromJson(m_Process.readLine()).object();
    m_Port = quint16(hello.value("port").toInt());
    return m_Port != 0;
}

void FaultServer::stop()
{
    if (m_Process.state() == QProcess::NotRunning)
        return;
    m_Process.write("{\"cmd\":\"quit\"}\n");
    m_Process.closeWriteChannel();
    if (!m_Process.waitForFinished(5000)) {
        m_Process.kill();
        m_Process.waitForFinished(5000);
    }
}

QJsonObject FaultServer::command(const QJsonObject& cmd)
{
    m_Process.write(QJsonDocument(cmd).toJson(QJsonDocument::Compact) + "\n");
    m_Process.waitForBytesWritten(5000);
    QElapsedTimer timer;
    timer.start();
    while (!m_Process.canReadLine() && timer.elapsed() < 10000) {
        if (!m_Process.waitForReadyRead(100) && m_Process.state() != QProcess::Running)
            break;
    }
    if (!m_Process.canReadLine())
        return QJsonObject();
    return QJsonDocument::fromJson(m_Process.readLine()).object();
}

bool FaultServer::script(const QString& path, const QString& stepsJson)
{
    const QJsonArray steps = QJsonDocument::fromJson(stepsJson.toUtf8()).array();
    if (steps.isEmpty())
        return false;
    return command({{"cmd", "script"}, {"path", path}, {"steps", steps}}).value("ok").toBool();
}

bool FaultServer::release(const QString& path, int count)
{
    return command({{"cmd", "release"}, {"path", path}, {"count", count}}).value("ok").toBool();
}

int FaultServer::requests(const QString& path)
{
    return command({{"cmd", "stats"}}).value("requests").toObject().value(path).toInt();
}

QString FaultServer::requestHeader(const QString& path, const QString& name)
{
    const QJsonObject headers =
        command({{"cmd", "stats"}}).value("headers").toObject().value(path).toObject();
    const QJsonValue value = headers.value(name.toLower());
    return value.isString() ? value.toString() : QString();
}

int FaultServer::active() { return command({{"cmd", "stats"}}).value("active").toInt(); }

int FaultServer::maxActive() { return command({{"cmd", "stats"}}).value("maxActive").toInt(); }

bool FaultServer::resetMaxActive() { return command({{"cmd", "resetMax"}}).value("ok").toBool(); }

} // namespace vxtest
