// Time of the replace step: 500 small files, and one 100 MB file, each installed from a gzip
// package over an installed file with a digest check.
//   new:      FileReplaceListTaskSpecification as the updater runs it (staged beside the installed
//             file, mode, fsync, digest, hard link for undo, rename; each changed folder
//             flushed once at the end).
//   baseline: the earlier way, rebuilt here with the same unpacker and digest check: the
//             installed file renamed aside into the work folder, the package unpacked straight
//             onto the installed name, digest checked, mode set; no fsync; two files at once.
//   baseline+fsync: the same with the unpacked file flushed before its check, to tell the cost
//             of flushing from that of the staging.
// Prints the times (best of several runs) and the ratios.
#include "checksigfunc.h"
#include "configuration.h"
#include "filereplacelisttaskspecification.h"
#include "fileunpackfunc_zip.h"
#include "stagedfile.h"
#include "updatefileentry.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThreadPool>

#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

struct Release {
    QList<UpdateFileEntry> entries;
    QVector<QByteArray> oldContents;
};

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

bool writeGzip(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    gzFile out = gzopen(QFile::encodeName(path).constData(), "wb1");
    if (!out)
        return false;
    bool ok = true;
    for (qint64 at = 0; ok && at < data.size(); at += 1 << 20) {
        const int n = int(std::min<qint64>(1 << 20, data.size() - at));
        ok = gzwrite(out, data.constData() + at, unsigned(n)) == n;
    }
    return gzclose(out) == Z_OK && ok;
}

// Content that compresses like a real program: random blocks, each used a few times.
QByteArray content(qint64 size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray block(4096, 0);
    QByteArray data;
    data.reserve(int(size));
    while (data.size() < size) {
        if (data.size() % (4 * block.size()) == 0)
            random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        data.append(block.left(int(std::min<qint64>(block.size(), size - data.size()))));
    }
    return data;
}

Release makeRelease(const QString& work, int files, qint64 size)
{
    Release release;
    for (int i = 0; i < files; ++i) {
        const QString name = QString("dir%1/file%2.dat").arg(i % 10).arg(i);
        const QByteArray fresh = content(size, quint32(2 * i + 1));
        writeGzip(work + "/" + name + ".gz", fresh);
        const QString digest =
            QCryptographicHash::hash(fresh, QCryptographicHash::Sha512).toHex();
        release.entries << UpdateFileEntry("files", name + ".gz", digest, quint64(size), name);
        release.oldContents << content(size, quint32(2 * i + 2));
    }
    return release;
}

void installOld(const QString& install, const Release& release)
{
    QDir(install).removeRecursively();
    for (int i = 0; i < release.entries.size(); ++i)
        writeFile(install + "/" + release.entries[i].effectiveName(), release.oldContents[i]);
    QThreadPool::globalInstance()->waitForDone();
    ::sync();
}

bool replaceTheOldWay(const QString& work, const QString& install, const UpdateFileEntry& entry,
                      bool flush)
{
    const QString dst = install + "/" + entry.effectiveName();
    const QString aside = work + "/" + entry.effectiveName() + "_replaced";
    QDir().mkpath(QFileInfo(aside).absolutePath());
    QFile::remove(aside);
    if (!QFile::rename(dst, aside))
        return false;
    if (!gunzipFile(dst, work + "/" + entry.name))
        return false;
    if (flush && !StagedFile::syncFile(dst))
        return false;
    if (!CheckSigFunc(dst, entry.sha512).checkSHA512())
        return false;
    return QFile::setPermissions(dst, QFileInfo(aside).permissions());
}

double timeOldWay(const QString& work, const QString& install, const Release& release,
                  bool flush)
{
    installOld(install, release);
    QElapsedTimer timer;
    timer.start();
    std::atomic<int> next{0};
    std::atomic<bool> ok{true};
    auto worker = [&] {
        for (int i = next++; i < release.entries.size(); i = next++)
            if (!replaceTheOldWay(work, install, release.entries[i], flush))
                ok = false;
    };
    std::thread a(worker);
    std::thread b(worker);
    a.join();
    b.join();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!ok)
        std::printf("baseline run failed\n");
    return seconds;
}

double timeNewWay(const QString& work, const QString& install, Release& release)
{
    installOld(install, release);
    Configuration config;
    config.workDir = work;
    config.installDir = install;
    FileReplaceListTaskSpecification task(&release.entries, &config, nullptr, 1.0);
    QEventLoop loop;
    QObject::connect(&task, &TaskSpecification::finished, &loop, &QEventLoop::quit);
    QObject::connect(&task, &TaskSpecification::canceled, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    task.execute();
    loop.exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (task.getState() != TaskSpecification::TASK_FINISHED)
        std::printf("new run failed\n");
    return seconds;
}

void compare(const char* what, int files, qint64 size, int runs)
{
    QTemporaryDir tmp(QDir::currentPath() + "/replace_bench-XXXXXX");
    const QString work = tmp.filePath("work");
    const QString install = tmp.filePath("install");
    Release release = makeRelease(work, files, size);
    double oldBest = 1e9;
    double flushedBest = 1e9;
    double newBest = 1e9;
    for (int i = 0; i < runs; ++i) {
        oldBest = std::min(oldBest, timeOldWay(work, install, release, false));
        flushedBest = std::min(flushedBest, timeOldWay(work, install, release, true));
        newBest = std::min(newBest, timeNewWay(work, install, release));
    }
    std::printf("%-20s baseline %7.3f s  baseline+fsync %7.3f s  new %7.3f s  "
                "new/baseline %.2f  new/(baseline+fsync) %.2f\n",
                what, oldBest, flushedBest, newBest, newBest / oldBest, newBest / flushedBest);
}

// The updater's trace lines would drown the figures.
void quietDebug(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler(quietDebug);
    QCoreApplication app(argc, argv);
    std::printf("Replace step, best of 3. baseline = the earlier way rebuilt here: rename aside into"
                " the work folder + unpack onto the installed name + digest, no fsync;\n"
                "new = FileReplaceListTaskSpecification: staged file, mode, fsync, digest, link,"
                " rename; each folder fsync'ed once.\n"
                "Folder: %s\n",
                qPrintable(QDir::currentPath()));
    compare("500 files of 4 KB", 500, 4096, 3);
    compare("1 file of 100 MB", 1, qint64(100) << 20, 3);
    QThreadPool::globalInstance()->waitForDone();
    return 0;
}
