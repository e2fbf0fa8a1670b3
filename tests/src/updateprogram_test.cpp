// Runs the built program itself, as a second instance beside a listening first one.
#include "installationlock.h"
#include "initestutil.h"
#include "runtimefolder.h"
#include "singleinstancechecker.h"

#include "eventloop.h"
#include "otheruser.h"
#include "testpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A copy of the program in a folder of its own, with a temporary folder beside it.
class ProgramCopy
{
public:
    ProgramCopy()
    {
        EXPECT_TRUE(QDir().mkpath(appDir()));
        EXPECT_TRUE(QDir().mkpath(tmpDir()));
        EXPECT_TRUE(QDir().mkpath(runDir()));
        EXPECT_TRUE(QFile::setPermissions(runDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        EXPECT_TRUE(QFile::copy(VX_UPDATE_PROGRAM, program()));
        EXPECT_TRUE(QFile::setPermissions(program(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    // Killed runs leave their lock file and socket behind.
    ~ProgramCopy()
    {
        for (const QString& file : vxtest::runtimeFilesOf(appDir()))
            QFile::remove(file);
    }

    QString appDir() const { return root.path() + "/app"; }
    QString tmpDir() const { return root.path() + "/tmp"; }
    // The private runtime folder of the copy's runs, for the socket and the locks.
    QString runDir() const { return root.path() + "/run"; }
    QString program() const { return appDir() + "/update"; }

    // The socket under which a first instance of this copy listens.
    QString socketPath() const { return runDir() + "/" + SingleInstanceChecker::serverNameFor(appDir()); }

    // Runs the copy with `args`; false when it did not end in time.
    bool run(const QStringList& args, int* exitCode) { return runProgram(program(), args, exitCode); }

    bool runProgram(const QString& path, const QStringList& args, int* exitCode)
    {
        QProcess process;
        start(process, path, args);
        if (!vxtest::runUntil([&] { return process.state() == QProcess::NotRunning; }, 30000)) {
            process.kill();
            process.waitForFinished();
            return false;
        }
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        return true;
    }

    void start(QProcess& process, const QString& path, const QStringList& args) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmpDir());
        env.insert("XDG_RUNTIME_DIR", runDir());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(path, args);
    }

    QByteArray logText() const
    {
        QByteArray text;
        const QString folder = tmpDir() + "/voxmere_update_log";
        for (const QString& file : QDir(folder).entryList(QDir::Files))
            text += vxtest::readFile(folder + "/" + file);
        return text;
    }

    QStringList logLines() const
    {
        const QString folder = tmpDir() + "/voxmere_update_log";
        const QStringList files = QDir(folder).entryList(QDir::Files);
        if (files.size() != 1)
            return {};
        QStringList lines;
        for (const QString& line : QString::fromLocal8Bit(vxtest::readFile(folder + "/" + files.first())).split('\n')) {
            const int at = line.lastIndexOf("\t|\t");
            if (at >= 0)
                lines << line.mid(at + 3);
        }
        return lines;
    }

private:
    QTemporaryDir root;
};

// Listens as the first instance would and collects what arrives.
class FirstInstance
{
public:
    explicit FirstInstance(const QString& path)
    {
        QLocalServer::removeServer(path);
        EXPECT_TRUE(server.listen(path)) << server.errorString().toStdString();
        QObject::connect(&server, &QLocalServer::newConnection, [this] {
            while (QLocalSocket* socket = server.nextPendingConnection())
                QObject::connect(socket, &QLocalSocket::readyRead, [this, socket] { received += socket->readAll(); });
        });
    }
    QByteArray received;

private:
    QLocalServer server;
};

} // namespace

TEST(UpdateProgram, SecondInstanceCleansUpThenLeavesWithZero)
{
    ProgramCopy copy;
    vxtest::writeFile(copy.tmpDir() + "/vx3_update_log", "");
    // Among them a copy of update.ini that a write cut short by a kill left beside it.
    const QStringList leftovers = {"_old_update", "_old_libqgif.so", "libQtCore.so.4", "old/_old_libQt5Core.so.5",
                                   "imageformats/_old_libqjpeg.so", "sqldrivers/_old_libsqlite.so",
                                   "update.ini.QwErTy"};
    const QStringList kept = {"libQt5Core.so.5", "imageformats/libqjpeg.so", "accessible/libQtCore.so.4",
                              "update.ini.lock", "update.ini.QwErTyU"};
    // A link of such a name is neither followed nor removed.
    ASSERT_TRUE(vxtest::writeFile(copy.tmpDir() + "/victim", "precious"));
    ASSERT_TRUE(QFile::link(copy.tmpDir() + "/victim", copy.appDir() + "/update.ini.LiNkEd"));
    for (const QString& name : leftovers + kept) {
        QDir().mkpath(QFileInfo(copy.appDir() + "/" + name).path());
        ASSERT_TRUE(vxtest::writeFile(copy.appDir() + "/" + name, "x"));
    }
    FirstInstance first(copy.socketPath());
    int exitCode = -2;
    ASSERT_TRUE(copy.run({"--nouser", "update_linux_x86", "5"}, &exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(vxtest::runUntil([&] { return first.received == "#"; })) << first.received.constData();

    for (const QString& name : leftovers) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_FALSE(QFile::exists(copy.appDir() + "/" + name));
    }
    for (const QString& name : kept) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_TRUE(QFile::exists(copy.appDir() + "/" + name));
    }
    EXPECT_FALSE(QFileInfo::exists(copy.appDir() + "/old"));
    EXPECT_TRUE(QFileInfo(copy.appDir() + "/update.ini.LiNkEd").isSymLink());
    EXPECT_EQ(vxtest::readFile(copy.tmpDir() + "/victim"), "precious");
    EXPECT_TRUE(QFileInfo::exists(copy.program()));

    const QStringList lines = copy.logLines();
    const int started = lines.indexOf("Voxmere updater started");
    const int cleaned = lines.indexOf("Removing old files done");
    const int detected = lines.indexOf("Detected other instance running, aborting");
    EXPECT_GE(started, 0) << lines.join('\n').toStdString();
    EXPECT_LT(started, cleaned);
    EXPECT_LT(cleaned, detected);
}

TEST(UpdateProgram, OldFolderWithOtherFilesStays)
{
    ProgramCopy copy;
    ASSERT_TRUE(QDir().mkpath(copy.appDir() + "/old"));
    ASSERT_TRUE(vxtest::writeFile(copy.appDir() + "/old/_old_libqgif.so", "x"));
    ASSERT_TRUE(vxtest::writeFile(copy.appDir() + "/old/notes.txt", "x"));
    FirstInstance first(copy.socketPath());
    int exitCode = -2;
    ASSERT_TRUE(copy.run({}, &exitCode));
    EXPECT_EQ(exitCode, 0);
    EXPECT_FALSE(QFile::exists(copy.appDir() + "/old/_old_libqgif.so"));
    EXPECT_TRUE(QFile::exists(copy.appDir() + "/old/notes.txt"));
    // Without the marker no log folder is made.
    EXPECT_FALSE(QFileInfo::exists(copy.tmpDir() + "/voxmere_update_log"));
}

// Two installations whose paths differ only by a slash: the run for the second is not stopped
// by the window of the first.
TEST(UpdateProgram, RunIsNotStoppedByAnotherInstallationsWindow)
{
    ProgramCopy copy;
    vxtest::writeFile(copy.tmpDir() + "/vx3_update_log", "");
    const QString installs[] = {copy.appDir() + "/crcx/ab", copy.appDir() + "/crcx/a/b"};
    QProcess runs[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(QDir().mkpath(installs[i]) && QFile::copy(copy.program(), installs[i] + "/update"));
        copy.start(runs[i], installs[i] + "/update", {"--nouser", "update_linux_x86", "5"});
        EXPECT_TRUE(vxtest::runUntil([&] { return copy.logText().count("\tStarting update\n") > i
                                                  || runs[i].state() == QProcess::NotRunning; }, 30000));
    }
    EXPECT_EQ(runs[1].state(), QProcess::Running) << copy.logText().constData();
    for (int i = 0; i < 2; ++i) {
        runs[i].kill();
        runs[i].waitForFinished();
        for (const QString& file : vxtest::runtimeFilesOf(installs[i]))
            QFile::remove(file);
    }
}

// The client phase runs from its work folder and reads its session record from the update.ini
// there. In a folder another local user could write to, the record is not believed: the run
// stops with the reason, the folder it names is neither emptied nor worked in, and the
// installation it names is not touched.
TEST(UpdateProgram, ClientPhaseRefusesTheRecordInAWorkFolderOthersCanWrite)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    QTemporaryDir root;
    const QString victim = root.filePath("victim");
    const QString install = root.filePath("install");
    const QString config = root.filePath("config");
    ASSERT_TRUE(QDir().mkpath(victim) && QDir().mkpath(install) && QDir().mkpath(config));
    ASSERT_TRUE(vxtest::writeFile(victim + "/keep.txt", "precious"));
    ASSERT_TRUE(vxtest::writeFile(install + "/vx3client_runscript.sh", "#!/bin/sh\n"));
    // Downloads go nowhere: the run ends on the first request.
    ASSERT_TRUE(vxtest::writeIni(config + "/update.ini", "[Channel]\nalpha=http://127.0.0.1:9/\n"));

    for (const int recorded : {41, 42}) {
        SCOPED_TRACE(recorded == 42 ? "same version" : "other version");
        const QString tmp = root.filePath(QString("tmp%1").arg(recorded));
        const QString work = tmp + "/voxmere_temp_0";
        ASSERT_TRUE(vxtest::shareLikeSystemTemp(root.path(), tmp));
        ASSERT_TRUE(vxtest::writeFile(tmp + "/vx3_update_log", ""));
        ASSERT_TRUE(vxtest::runAsOtherUser(tmp, "mkdir voxmere_temp_0"));
        ASSERT_TRUE(QFile::copy(VX_UPDATE_PROGRAM, work + "/update"));
        ASSERT_TRUE(vxtest::runAsOtherUser(
            work, QString("printf '[current]\\nversion=%1\\ndir=%2\\nvx3dir=%3\\ntype=client_linux_x86\\n' > update.ini")
                      .arg(recorded).arg(victim, install)));

        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmp);
        env.insert("VX3_CONFIG_DIR", config);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(env);
        process.start(work + "/update", {"--clientupdate", "client_linux_x86", "42", "#"});
        ASSERT_TRUE(process.waitForStarted());
        QString log;
        vxtest::runUntil([&] {
            const QStringList files = QDir(tmp + "/voxmere_update_log").entryList(QDir::Files);
            log = files.isEmpty() ? QString()
                                  : QString::fromLocal8Bit(vxtest::readFile(tmp + "/voxmere_update_log/" + files.first()));
            return log.contains("Refusing the session record") || process.state() == QProcess::NotRunning;
        }, 30000);
        process.kill();
        process.waitForFinished();
        for (const QString& file : vxtest::runtimeFilesOf(work) + vxtest::runtimeFilesOf(install))
            QFile::remove(file);

        EXPECT_TRUE(log.contains(QString("Refusing the session record: '%1' is owned by another user").arg(work)))
            << log.toStdString();
        EXPECT_FALSE(log.contains("Starting update"));
        EXPECT_FALSE(log.contains("Continuing previous session"));
        EXPECT_FALSE(log.contains("Cleaning up previous session"));
        EXPECT_EQ(QDir(victim).entryList(QDir::Files), QStringList{"keep.txt"});
        EXPECT_EQ(vxtest::readFile(victim + "/keep.txt"), "precious");
        EXPECT_EQ(QDir(install).entryList(QDir::Files), QStringList{"vx3client_runscript.sh"});
        EXPECT_EQ(vxtest::readFile(install + "/vx3client_runscript.sh"), "#!/bin/sh\n");
    }
}

// The caller's umask is tightened, never loosened: under umask 077 the session record the run
// writes into the installation's update.ini is the owner's alone. Why the downloads then fail
// (nothing listens) is in the log.
TEST(UpdateProgram, CallersStricterUmaskStays)
{
    ProgramCopy copy;
    vxtest::writeFile(copy.tmpDir() + "/vx3_update_log", "");
    ASSERT_TRUE(vxtest::writeFile(copy.tmpDir() + "/update.ini", "[Channel]\nalpha=http://127.0.0.1:9/\n"));
    const mode_t callerMask = ::umask(077);
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", copy.tmpDir());
    env.insert("XDG_RUNTIME_DIR", copy.runDir());
    env.insert("VX3_CONFIG_DIR", copy.tmpDir());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(copy.program(), {"--nouser", "update_linux_x86", "5"});
    ::umask(callerMask);
    ASSERT_TRUE(process.waitForStarted());
    const QString ini = copy.appDir() + "/update.ini";
    EXPECT_TRUE(vxtest::runUntil([&] { return copy.logText().contains("Starting update"); }, 30000))
        << copy.logText().constData();
    EXPECT_TRUE(vxtest::runUntil([&] { return copy.logText().contains("\t|\tConnection refused\n"); }, 30000))
        << copy.logText().constData();
    process.kill();
    process.waitForFinished();
    EXPECT_EQ(QFileInfo(ini).permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
}

// Without a display the program cannot start; it says why on standard error, logging or not.
TEST(UpdateProgram, StartWithoutDisplaySaysWhy)
{
    ProgramCopy copy;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    env.insert("TMPDIR", copy.tmpDir());
    env.insert("XDG_RUNTIME_DIR", copy.runDir());
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(copy.program(), {"--nouser", "update_linux_x86", "5"});
    ASSERT_TRUE(process.waitForFinished(30000));
    EXPECT_TRUE(process.exitStatus() == QProcess::CrashExit || process.exitCode() != 0);
    EXPECT_TRUE(process.readAllStandardError().contains("no Qt platform plugin could be initialized"));
}

// While another process holds the installation's lock, a run of either phase for that
// installation leaves at once with 0, as it does when another instance answers, and changes
// nothing.
TEST(UpdateProgram, RunForALockedInstallationLeavesWithZero)
{
    ProgramCopy copy;
    vxtest::writeFile(copy.tmpDir() + "/vx3_update_log", "");
    // The lock folder of the copy's runs: root's own, or their XDG_RUNTIME_DIR for another user.
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(copy.runDir()));
    const QString lockFile = InstallationLock::lockFilePath(RuntimeFolder::lockFolder(), copy.appDir());
    savedRuntime.isEmpty() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", savedRuntime);
    const int fd = ::open(QFile::encodeName(lockFile).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);

    // Phase 2 runs from a work folder whose session record names the installation.
    const QString work = copy.tmpDir() + "/voxmere_temp_0";
    ASSERT_TRUE(QDir().mkpath(work));
    ASSERT_TRUE(vxtest::writeIni(work + "/update.ini",
                                 "[current]\nversion=5\ndir=" + work.toUtf8() + "\nvx3dir="
                                     + copy.appDir().toUtf8() + "\ntype=client_linux_x86\n"));
    ASSERT_TRUE(QFile::copy(copy.program(), work + "/update"));
    ASSERT_TRUE(QFile::setPermissions(work + "/update", QFile::ReadOwner | QFile::ExeOwner));
    const QByteArray record = vxtest::readFile(work + "/update.ini");
    // Not even the clean-up of older installations' leftovers runs.
    ASSERT_TRUE(vxtest::writeFile(copy.appDir() + "/_old_update", "x"));

    struct Case {
        QString program;
        QStringList args;
    };
    const Case cases[] = {{copy.program(), {"--nouser", "update_linux_x86", "5"}},
                          {work + "/update", {"--clientupdate", "client_linux_x86", "5", "#"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program.toStdString());
        int exitCode = -2;
        ASSERT_TRUE(copy.runProgram(c.program, c.args, &exitCode));
        EXPECT_EQ(exitCode, 0);
        // A start within the same second appends to the same log file.
        EXPECT_TRUE(copy.logText().contains("Detected other instance running, aborting"))
            << copy.logText().constData();
        EXPECT_FALSE(copy.logText().contains("Update engine initialized"));
    }
    ::close(fd);
    QFile::remove(lockFile);
    EXPECT_FALSE(QFile::exists(copy.appDir() + "/update.ini"));
    EXPECT_EQ(vxtest::readFile(work + "/update.ini"), record);
    EXPECT_TRUE(QFile::exists(copy.appDir() + "/_old_update"));
    EXPECT_EQ(QDir(copy.tmpDir()).entryList({"voxmere_temp_*"}, QDir::Dirs).size(), 1);
}
