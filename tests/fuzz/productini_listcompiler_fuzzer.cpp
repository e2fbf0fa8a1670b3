// The product ini list compiler never crashes on a hostile ini, and every path on the lists it
// compiles stays inside the folder it will be used in; nothing outside the installation and the
// work directory changes. The first byte picks the phase, the rest is the ini.
#include "confinedpath.h"
#include "configuration.h"
#include "downloadreplacelists.h"
#include "makedownloadreplacelistfunc.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void DropMessage(QtMsgType, const QMessageLogContext&, const QString&) {}

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

void Put(const QString& path, const QByteArray& data)
{
    QFile file(path);
    Require(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size());
}

// An installation with a file, a folder, links inside and out, and a folder outside it.
struct Tree {
    QTemporaryDir root;
    QString install = root.path() + "/install";
    QString outside = root.path() + "/outside";

    Tree()
    {
        Require(QDir().mkpath(install + "/sub") && QDir().mkpath(outside));
        Put(install + "/a", "a");
        Put(install + "/sub/b", "b");
        Put(outside + "/victim", "victim");
        Require(QFile::link(outside, install + "/outlink"));
        Require(QFile::link("sub", install + "/inlink"));
        Require(QFile::link("..", install + "/sub/up"));
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool quiet = (qInstallMessageHandler(DropMessage), true);
    (void)quiet;
    // Removed with its folder when the fuzzer exits.
    static Tree shared;
    Tree* tree = &shared;
    static int run = 0;
    if (size == 0)
        return 0;
    // A work directory per run: the ini reader caches a file by path, size and time.
    const QString work = tree->root.path() + "/work" + QString::number(++run);
    Require(QDir().mkpath(work));
    Configuration config;
    config.isClientUpdate = data[0] & 1;
    config.workDir = work;
    config.installDir = tree->install;
    const QString ini = work + (config.isClientUpdate ? "/vx3_client_linux_x86.ini"
                                                      : "/update_linux_x86.ini");
    Put(ini, QByteArray(reinterpret_cast<const char*>(data) + 1, int(size - 1)));

    DownloadReplaceLists lists;
    MakeDownloadReplaceListFunc func(&config, &lists);
    if (func.run()) {
        for (const UpdateFileEntry& e : lists.replaceList) {
            Require(ConfinedPath::refusal(tree->install, e.effectiveName()).isEmpty());
            Require(ConfinedPath::refusal(work, e.name).isEmpty());
        }
        for (const DownloadEntry& e : lists.downloadList)
            Require(ConfinedPath::refusal(work, e.name).isEmpty());
        for (const DeleteEntry& e : lists.deleteList)
            Require(ConfinedPath::refusal(tree->install, e.path).isEmpty());
        for (const PrePostInstallEntry& e : lists.preinstallList + lists.postinstallList)
            Require(ConfinedPath::refusal(work, e.program).isEmpty());
    }
    Require(QDir(tree->outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)
            == QStringList{"victim"});
    Require(QDir(work).removeRecursively());
    return 0;
}
