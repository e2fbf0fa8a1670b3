#include "updaterun.h"

#include "testpaths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace vxtest {

namespace {

const int kPhaseTimeoutMs = 180000;

uint modeOf(const QString& path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return uint(st.st_mode & 07777);
}

QString octal(uint mode)
{
    return QString("0%1").arg(mode, 0, 8);
}

// Records the folder it was started in, then appears at once under its final name beside the
// installation.
QByteArray runScript(const QByteArray& marker, int release)
{
    return "#!/bin/sh\n# Voxmere 3 Client, release " + QByteArray::number(release)
           + "\nd=$(dirname \"$0\")/..\npwd > \"$d/" + marker + ".part\" && mv \"$d/" + marker
           + ".part\" \"$d/" + marker + "\"\n";
}

QByteArray changed(QByteArray data, const QByteArray& mark)
{
    return data.replace(data.size() - 300, mark.size(), mark);
}

} // namespace

FileTree readTree(const QString& root)
{
    FileTree tree;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree[base.relativeFilePath(path)] = {readFile(path), modeOf(path)};
    }
    return tree;
}

QStringList readFolders(const QString& root)
{
    QStringList folders;
    const QDir base(root);
    QDirIterator it(root, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        folders << base.relativeFilePath(it.next());
    folders.sort();
    return folders;
}

QStringList foldersOf(const FileTree& tree)
{
    std::set<QString> folders;
    for (const auto& entry : tree) {
        QString path = entry.first;
        for (int slash = path.lastIndexOf('/'); slash > 0; slash = path.lastIndexOf('/')) {
            path.truncate(slash);
            folders.insert(path);
        }
    }
    QStringList out;
    for (const QString& folder : folders)
        out << folder;
    return out;
}

bool writeTree(const QString& root, const FileTree& tree)
{
    for (const auto& [path, file] : tree) {
        const QString target = root + "/" + path;
        if (!QDir().mkpath(QFileInfo(target).absolutePath()) || !writeFile(target, file.data)
            || ::chmod(QFile::encodeName(target).constData(), file.mode) != 0)
            return false;
    }
    return true;
}

QStringList groupOrOtherWritable(const QString& root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileInfo().isSymLink())
            continue;
        const uint mode = modeOf(path);
        if (mode & (S_IWGRP | S_IWOTH))
            found << path + " " + octal(mode);
    }
    return found;
}

QStringList treeDifferences(const FileTree& now, const FileTree& want)
{
    QStringList out;
    for (const auto& [path, file] : want) {
        const auto found = now.find(path);
        if (found == now.end())
            out << path + " is missing";
        else if (found->second.data != file.data)
            out << path + " has other bytes (" + QString::number(found->second.data.size())
                       + " bytes, " + QString::number(file.data.size()) + " wanted)";
        else if (found->second.mode != file.mode)
            out << path + " has mode " + octal(found->second.mode) + ", " + octal(file.mode)
                       + " wanted";
    }
    for (const auto& entry : now)
        if (!want.count(entry.first))
            out << entry.first + " is left over";
    return out;
}

QStringList interruptedStateFaults(const FileTree& now, const FileTree& oldTree,
                                   const FileTree& newTree)
{
    std::set<QString> paths;
    for (const auto& entry : oldTree)
        paths.insert(entry.first);
    for (const auto& entry : newTree)
        paths.insert(entry.first);
    QStringList out;
    for (const QString& path : paths) {
        const auto o = oldTree.find(path);
        const auto n = newTree.find(path);
        const auto found = now.find(path);
        if (found == now.end()) {
            if (o != oldTree.end() && n != newTree.end())
                out << path + " is missing";
            continue;
        }
        const TreeFile& file = found->second;
        const bool isOld = o != oldTree.end() && file.data == o->second.data;
        const bool isNew = n != newTree.end() && file.data == n->second.data;
        if (!isOld && !isNew)
            out << path + " is neither its old nor its new version ("
                       + QString::number(file.data.size()) + " bytes)";
        const bool oldMode = o != oldTree.end() && file.mode == o->second.mode;
        const bool newMode = n != newTree.end() && file.mode == n->second.mode;
        if (!oldMode && !newMode)
            out << path + " has mode " + octal(file.mode)
                       + ", neither that of the old nor of the new release";
        if (path == "update" && (!(file.mode & S_IXUSR) || (!isOld && !isNew)))
            out << "update is not a complete program with its execute bit";
    }
    return out;
}

QStringList prefixed(const QString& prefix, const QStringList& lines)
{
    QStringList out;
    for (const QString& line : lines)
        out << prefix + line;
    return out;
}

bool sharedMemoryIsElsewhere(const QString& dir, qint64 bytes)
{
    struct stat shm, other;
    struct statvfs space;
    return ::stat("/dev/shm", &shm) == 0 && ::stat(QFile::encodeName(dir).constData(), &other) == 0
           && shm.st_dev != other.st_dev && ::statvfs("/dev/shm", &space) == 0
           && qint64(space.f_bavail) * qint64(space.f_frsize) >= bytes;
}

bool pollUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return done();
        QThread::msleep(50);
    }
    return true;
}

QList<int> processesBelow(const QStringList& folders)
{
    QList<int> found;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        bool numeric = false;
        const int id = pid.toInt(&numeric);
        if (!numeric)
            continue;
        const QString exe = QFileInfo("/proc/" + pid + "/exe").symLinkTarget();
        for (const QString& folder : folders)
            if (!exe.isEmpty() && exe.startsWith(folder + "/"))
                found << id;
    }
    return found;
}

// A killed process loses its program (the exe link) before its open files, the installation
// lock among them, and its main thread shows as a zombie while other threads are still ending:
// only when the main thread alone is left, a zombie, or nothing at all, has it let go of them.
bool processEnded(int pid)
{
    const QStringList threads = QDir(QString("/proc/%1/task").arg(pid))
                                    .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return true;
    const QByteArray stat = readFile(QString("/proc/%1/stat").arg(pid));
    const int state = stat.lastIndexOf(')') + 2;
    return threads.size() == 1 && state >= 2 && state < stat.size()
           && (stat.at(state) == 'Z' || stat.at(state) == 'X');
}

void killProcessesBelow(const QStringList& folders)
{
    const QList<int> killed = processesBelow(folders);
    for (int pid : killed)
        ::kill(pid, SIGKILL);
    pollUntil([&] {
        return processesBelow(folders).isEmpty()
               && std::all_of(killed.begin(), killed.end(), processEnded);
    }, 10000);
}

UpdateRelease::UpdateRelease(const QString& root, const QString& program,
                             const QString& mkrelease)
    : m_Root(root)
    , m_Program(program)
    , m_Mkrelease(mkrelease)
{
}

UpdateRelease::~UpdateRelease() = default;

bool UpdateRelease::fail(const QString& text)
{
    m_Error = text;
    return false;
}

QString UpdateRelease::baseUrl() const
{
    return m_Nginx ? m_Nginx->baseUrl() : QString();
}

bool UpdateRelease::build()
{
    const QByteArray program = readFile(m_Program);
    const QByteArray exe32 = readFile(corpusDir() + "/elf32-x86/gcc-386-freebsd-exec");
    const QByteArray exe64 = readFile(corpusDir() + "/elf64-x64/gcc-amd64-linux-exec");
    if (program.isEmpty() || exe32.size() < 400 || exe64.size() < 400)
        return fail("the program or the corpus executables cannot be read");

    m_Old["update"] = {program, 0755};
    m_Old["vx3client_runscript.sh"] = {runScript("old-client-started", 6), 0755};
    // Set-user-ID is not carried over to a new version.
    m_Old["vx3client_linux_x86"] = {exe32, 04755};
    m_Old["lib/libvx3codec.so.1"] = {exe64, 0755};
    m_Old["tools/helper.sh"] = {"#!/bin/sh\necho helper of release 6\n", 0755};
    m_Old["private/token.dat"] = {QByteArray("token of release 6\n").repeated(30), 0600};
    m_Old["readme.txt"] = {QByteArray("Voxmere 3 Client, release 6\n").repeated(40), 0644};
    m_Old["sounds/ring.dat"] = {QByteArray(5000, '\x21'), 0644};
    for (int i = 1; i <= 12; ++i)
        m_Old[QString("data/level%1.dat").arg(i, 2, 10, QChar('0'))] = {
            QByteArray("level ").repeated(i * 20) + QByteArray::number(i), 0644};
    m_Old["gone.txt"] = {"dropped in release 7", 0644};
    m_Old["plugins/old/a.so"] = {"old plugin", 0755};

    m_New = m_Old;
    m_New.erase("gone.txt");
    m_New.erase("plugins/old/a.so");
    m_New["update"].data += QByteArray("\nupdater of release 7\n");
    m_New["vx3client_runscript.sh"].data = runScript("client-started", 7);
    m_New["vx3client_linux_x86"] = {changed(exe32, "release 7!"), 0755};
    m_New["lib/libvx3codec.so.1"].data = changed(exe64, "codec of 7");
    m_New["tools/helper.sh"].data = "#!/bin/sh\necho helper of release 7\n";
    m_New["private/token.dat"].data = QByteArray("token of release 7\n").repeated(30);
    m_New["readme.txt"].data = QByteArray("Voxmere 3 Client, release 7\n").repeated(40);
    m_New["sounds/extra/chime.dat"] = {QByteArray(700, '\x42'), 0644};
    // Bigger than the room a full file system test leaves, whatever the update frees first.
    m_New["sounds/extra/music.dat"] = {QByteArray("music of release 7 ").repeated(220000), 0644};
    m_New["lib/libvx3net.so.0"] = {changed(exe64, "network 7!"), 0755};
    m_New["error_report"] = {changed(exe32, "reporter 7"), 0755};

    m_Updater["update"] = m_New["update"];
    m_Updater["updater.txt"] = {QByteArray("updater notes of release 7\n").repeated(40), 0644};

    if (!writeTree(m_Root + "/old-client", m_Old) || !writeTree(m_Root + "/new-client", m_New)
        || !writeTree(m_Root + "/new-updater", m_Updater))
        return fail("cannot write the release trees below " + m_Root);
    if (!publish("update", m_Root + "/new-updater") || !publish("client", m_Root + "/new-client"))
        return false;
    m_Nginx = std::make_unique<NginxServer>(m_Root + "/server");
    if (!m_Nginx->start())
        return fail(m_Nginx->errorText());
    return true;
}

// The big program and the read-me go whole, as gzip; the token whole as a package; every other
// changed file as a patch.
bool UpdateRelease::publish(const QString& product, const QString& newTree)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedChannels);
    tool.start(m_Mkrelease, {"--product", product, "--release", QString::number(kVersion),
                             "--old", m_Root + "/old-client", "--new", newTree, "--out",
                             m_Root + "/server", "--gzip", "update", "--gzip", "*.txt",
                             "--gzip", "music.dat", "--whole", "update", "--whole",
                             "readme.txt", "--whole", "private/*", "--quiet"});
    if (!tool.waitForFinished(300000) || tool.exitStatus() != QProcess::NormalExit
        || tool.exitCode() != 0)
        return fail("the release fixtures tool failed for " + product);
    return true;
}

UpdateRun::UpdateRun(const QString& dir, const UpdateRelease& release, const QString& installDir,
                     const QString& tmpDir)
    : m_Dir(dir)
    , m_Release(release)
    , m_Install(installDir.isEmpty() ? dir + "/install" : installDir)
    , m_Tmp(tmpDir.isEmpty() ? dir + "/tmp" : tmpDir)
{
}

QString UpdateRun::newMarker() const
{
    return QFileInfo(m_Install).absolutePath() + "/client-started";
}

QString UpdateRun::oldMarker() const
{
    return QFileInfo(m_Install).absolutePath() + "/old-client-started";
}

QString UpdateRun::operationLog() const
{
    return m_Dir + "/operations.log";
}

QStringList UpdateRun::workFolders() const
{
    return QDir(m_Tmp).entryList({"voxmere_temp_*"}, QDir::Dirs | QDir::NoDotAndDotDot);
}

bool UpdateRun::prepare()
{
    if (!writeTree(m_Install, m_Release.oldClient()) || !QDir().mkpath(m_Tmp)
        || !QDir().mkpath(m_Dir + "/home") || !writeFile(m_Tmp + "/vx3_update_log", {}))
        return false;
    m_Install = QFileInfo(m_Install).canonicalFilePath();
    m_Tmp = QFileInfo(m_Tmp).canonicalFilePath();
    QSettings channel(m_Dir + "/config/update.ini", QSettings::IniFormat);
    channel.setValue("Channel/alpha", m_Release.baseUrl());
    channel.setValue("Channel/alphaRevno", UpdateRelease::kVersion);
    channel.sync();
    return channel.status() == QSettings::NoError;
}

void UpdateRun::stopPhaseTwoAt(const QString& shim, long n, bool stop)
{
    m_Shim = shim;
    m_StopAt = n;
    m_Stop = stop;
    m_StopPath.clear();
    QFile::remove(operationLog());
}

void UpdateRun::stopPhaseTwoAtPath(const QString& shim, const QString& text)
{
    stopPhaseTwoAt(shim, 0, true);
    m_StopPath = text;
}

void UpdateRun::noShim()
{
    m_Shim.clear();
    m_StopPath.clear();
    m_StopAt = 0;
    m_Stop = false;
    QFile::remove(operationLog() + ".before");
    QFile::rename(operationLog(), operationLog() + ".before");
}

QProcessEnvironment UpdateRun::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TMPDIR", m_Tmp);
    env.insert("HOME", m_Dir + "/home");
    env.insert("VX3_CONFIG_DIR", m_Dir + "/config");
    if (m_Shim.isEmpty())
        return env;
    env.insert("LD_PRELOAD", m_Shim);
    // The sanitizer runtime would insist on coming first.
    const QString asan = env.value("ASAN_OPTIONS");
    env.insert("ASAN_OPTIONS", (asan.isEmpty() ? "" : asan + ":") + "verify_asan_link_order=0");
    env.insert("VXKILL_DIR", m_Install);
    env.insert("VXKILL_ARG", "--clientupdate");
    env.insert("VXKILL_AT", QString::number(m_StopAt));
    env.insert("VXKILL_LOG", operationLog());
    if (m_Stop)
        env.insert("VXKILL_SIGNAL", "STOP");
    if (!m_StopPath.isEmpty())
        env.insert("VXKILL_AT_PATH", m_StopPath);
    return env;
}

// Another thread of a test may be writing a program while this one forks: the child holds
// the written file open until its exec, and an exec of that program meanwhile fails with
// "text file busy". Starting again a moment later gets through.
bool UpdateRun::startPhaseOne(QProcess& process) const
{
    process.setProcessEnvironment(environment());
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    for (int attempt = 0; attempt < 20; ++attempt) {
        process.start(m_Install + "/update", QStringList());
        if (process.waitForStarted(30000))
            return true;
        QThread::msleep(250);
    }
    return false;
}

int UpdateRun::runPhaseOne()
{
    QProcess process;
    if (!startPhaseOne(process))
        return -2;
    if (!process.waitForFinished(kPhaseTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool UpdateRun::killPhaseOneAfter(int ms)
{
    QProcess process;
    if (!startPhaseOne(process))
        return false;
    if (process.waitForFinished(ms))
        return false;
    process.kill();
    process.waitForFinished();
    return true;
}

QStringList UpdateRun::processFolders() const
{
    return {m_Install, m_Tmp};
}

long UpdateRun::operationsCounted() const
{
    const QList<QByteArray> lines = readFile(operationLog()).split('\n');
    long count = 0;
    for (const QByteArray& line : lines)
        count = std::max(count, line.split(' ').value(0).toLong());
    return count;
}

int UpdateRun::stoppedPid() const
{
    for (const QByteArray& line : readFile(operationLog()).split('\n'))
        if (line.startsWith("stopped "))
            return line.split(' ').value(2).toInt();
    return 0;
}

qint64 UpdateRun::processorTicks() const
{
    qint64 ticks = 0;
    for (int pid : processesBelow(processFolders())) {
        const QList<QByteArray> fields =
            readFile(QString("/proc/%1/stat").arg(pid)).split(')').value(1).split(' ');
        // utime and stime, fields 14 and 15 of stat, counted from the state (field 3) after the
        // command; the pid goes in too, so that a process coming or going counts as activity.
        ticks += fields.value(12).toLongLong() + fields.value(13).toLongLong() + 1000000LL * pid;
    }
    return ticks;
}

UpdateRun::End UpdateRun::waitForEnd(int idleMs, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer idle;
    idle.start();
    qint64 lastTicks = -1;
    while (clock.elapsed() < timeoutMs) {
        const int stopped = stoppedPid();
        if (stopped && !m_Stop) {
            pollUntil([&] { return processEnded(stopped); }, 30000);
            return End::Stopped;
        }
        if (stopped && m_Stop)
            return End::Stopped;
        if (processesBelow(processFolders()).isEmpty()) {
            if (stoppedPid()) // killed since the look above
                continue;
            // The run script of the client is started detached at the very end.
            return pollUntil([&] { return QFileInfo::exists(newMarker()); }, 5000)
                       ? End::Finished
                       : End::Failed;
        }
        const qint64 ticks = processorTicks();
        if (ticks != lastTicks) {
            lastTicks = ticks;
            idle.restart();
        } else if (idle.elapsed() > idleMs) {
            return End::Idle;
        }
        QThread::msleep(100);
    }
    return End::TimedOut;
}

QByteArray UpdateRun::logText() const
{
    QByteArray text;
    QDirIterator it(m_Tmp + "/voxmere_update_log", QDir::Files);
    while (it.hasNext()) {
        const QString path = it.next();
        text += "---- " + path.toUtf8() + "\n" + readFile(path);
    }
    return text;
}

} // namespace vxtest
