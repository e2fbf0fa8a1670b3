// Download throughput: 200 files of mixed sizes (about 200 MB) served by nginx on loopback,
// fetched with 6 streams by the download list and by `curl --parallel --parallel-max 6`, in the
// same run. Prints each time and the ratio against curl (goal: at most 1.2).
#include "composedtaskspecification.h"
#include "configuration.h"
#include "cryptwrapper.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadtaskspecification.h"
#include "httpservers.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

const int kVersion = 7;
const int kFiles = 200;
const qint64 kTotalBytes = 200LL * 1024 * 1024;
const int kStreams = 6;
const int kRounds = 5;

struct Published {
    QList<DownloadEntry> entries;
    qint64 bytes = 0;
};

// Log-uniform sizes from 1 KiB to 8 MiB, scaled to the total; random contents.
Published publishFiles(const QString& root)
{
    Published out;
    quint64 x = 88172645463325252ULL;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    std::vector<double> weights;
    for (int i = 0; i < kFiles; ++i)
        weights.push_back(std::exp(std::log(1024.0) + (next() % 10000) / 10000.0 * std::log(8192.0)));
    double sum = 0;
    for (double w : weights)
        sum += w;
    const QString dir = root + QString("/%1/bench").arg(kVersion);
    QDir().mkpath(dir);
    for (int i = 0; i < kFiles; ++i) {
        const qint64 size = qMax<qint64>(1, qint64(weights[i] / sum * kTotalBytes));
        QByteArray data(int(size), Qt::Uninitialized);
        for (qint64 k = 0; k + 8 <= size; k += 8) {
            const quint64 v = next();
            memcpy(data.data() + k, &v, 8);
        }
        const QString name = QString("f%1.bin").arg(i, 3, 10, QChar('0'));
        QFile file(dir + "/" + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != size)
            qFatal("cannot write %s", qPrintable(file.fileName()));
        const QString digest =
            QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
        out.entries << DownloadEntry("bench", name, digest, quint64(size));
        out.bytes += size;
    }
    return out;
}

// Bytes of every listed file found in `dir`; a missing or short file counts nothing.
qint64 bytesFetched(const QString& dir, const Published& files)
{
    qint64 n = 0;
    for (const DownloadEntry& e : files.entries) {
        const QFileInfo info(dir + "/" + e.name);
        if (info.exists() && quint64(info.size()) == e.size)
            n += info.size();
    }
    return n;
}

double timeCurl(const QString& base, const Published& files, const QString& outDir)
{
    QDir(outDir).removeRecursively();
    QDir().mkpath(outDir);
    const QString cfgPath = outDir + "/../curl.cfg";
    QFile cfg(cfgPath);
    cfg.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QTextStream s(&cfg);
    for (const DownloadEntry& e : files.entries) {
        s << "url = \"" << base << kVersion << "/" << e.section << "/" << e.name << "\"\n";
        s << "output = \"" << outDir << "/" << e.name << "\"\n";
    }
    s.flush();
    cfg.close();
    QElapsedTimer t;
    t.start();
    QProcess curl;
    curl.setStandardOutputFile(QProcess::nullDevice());
    curl.setStandardErrorFile(QProcess::nullDevice());
    curl.start("curl", {"--parallel", "--parallel-max", QString::number(kStreams), "-s", "-f", "-K", cfgPath});
    curl.waitForFinished(-1);
    const int rc = curl.exitStatus() == QProcess::NormalExit ? curl.exitCode() : -1;
    const double secs = t.nsecsElapsed() / 1e9;
    if (rc != 0 || bytesFetched(outDir, files) != files.bytes)
        qFatal("curl did not fetch every file (exit %d)", rc);
    return secs;
}

// Runs a task to its end in a local event loop; returns the seconds taken.
double runTask(TaskSpecification& task)
{
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    task.execute();
    if (task.getState() == TaskSpecification::TASK_RUNNING)
        loop.exec();
    const double secs = t.nsecsElapsed() / 1e9;
    if (task.getState() != TaskSpecification::TASK_FINISHED)
        qFatal("download task ended in state %d", task.getState());
    return secs;
}

double timeList(QNetworkAccessManager& nam, Published& files, const QString& outDir)
{
    QDir(outDir).removeRecursively();
    QDir().mkpath(outDir);
    Configuration config;
    config.workDir = outDir;
    config.versionNumber = kVersion;
    config.streams = kStreams;
    DownloadFileListTaskSpecification list(&files.entries, &nam, &config, nullptr, 1.0);
    const double secs = runTask(list);
    if (bytesFetched(outDir, files) != files.bytes)
        qFatal("the list did not fetch every file");
    return secs;
}

// The same transfers without the digest checks.
class PlainDownloads : public ComposedTaskSpecification
{
public:
    PlainDownloads(QNetworkAccessManager& nam, const Published& files, const QString& outDir)
        : ComposedTaskSpecification(kStreams, 1.0, nullptr)
    {
        for (const DownloadEntry& e : files.entries)
            addTask(new DownloadTaskSpecification(&nam, e.section + "/" + e.name, kVersion,
                                                  outDir + "/" + e.name, qint64(e.size), this,
                                                  1.0 / files.entries.size()));
    }
    void execute() override { startTasks(); }
};

double timePlain(QNetworkAccessManager& nam, const Published& files, const QString& outDir)
{
    QDir(outDir).removeRecursively();
    QDir().mkpath(outDir);
    PlainDownloads plain(nam, files, outDir);
    const double secs = runTask(plain);
    if (bytesFetched(outDir, files) != files.bytes)
        qFatal("the downloads did not fetch every file");
    return secs;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type == QtFatalMsg || type == QtCriticalMsg) {
            fprintf(stderr, "%s\n", qPrintable(msg));
            if (type == QtFatalMsg)
                abort();
        }
    });
    crypt_init();
    QTemporaryDir root, out;
    Published files = publishFiles(root.path());
    vxtest::NginxServer nginx(root.path());
    if (!nginx.start()) {
        fprintf(stderr, "nginx: %s\n", qPrintable(nginx.errorText()));
        return 1;
    }
    Configuration::updateBaseUrl = nginx.baseUrl();
    QNetworkAccessManager nam;
    printf("%d files, %.1f MB, %d streams, nginx on 127.0.0.1:%d\n", kFiles, files.bytes / 1048576.0,
           kStreams, nginx.port());

    std::vector<double> curl, list, plain;
    // A warm-up pass of each fills the page cache and the connection pool alike.
    timeCurl(nginx.baseUrl(), files, out.path() + "/curl");
    timeList(nam, files, out.path() + "/list");
    for (int r = 0; r < kRounds; ++r) {
        curl.push_back(timeCurl(nginx.baseUrl(), files, out.path() + "/curl"));
        list.push_back(timeList(nam, files, out.path() + "/list"));
        plain.push_back(timePlain(nam, files, out.path() + "/plain"));
    }
    const double c = median(curl), l = median(list), p = median(plain);
    printf("curl --parallel-max %d       %.3f s  (%.0f MB/s)\n", kStreams, c, files.bytes / 1048576.0 / c);
    printf("download list with checks   %.3f s  (%.0f MB/s)\n", l, files.bytes / 1048576.0 / l);
    printf("downloads without checks    %.3f s  (%.0f MB/s)\n", p, files.bytes / 1048576.0 / p);
    printf("ratio list/curl             %.2f  (goal <= 1.2)\n", l / c);
    printf("ratio downloads/curl        %.2f\n", p / c);
    return 0;
}
