// The real update program against a release served by nginx on 127.0.0.1: phase 2 on its own
// (started as phase 1 would start it), and both phases from the installed updater on. The release
// is built by the release fixtures tool from an old and a new client tree; the installation must
// end byte-identical to the new tree and the new run script must have been started.
#include "httpservers.h"
#include "eventloop.h"
#include "releasefolder.h"
#include "testpaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <map>
#include <memory>
#include <string>

namespace {

const int kVersion = 7;
const int kForeignSignedVersion = 8;
// Each phase waits 2 s before it starts and 1 s before it hands over; the rest is the work of
// an unoptimised, sanitized build.
const int kPhaseTimeoutMs = 180000;

void put(const QString& path, const QByteArray& data)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    ASSERT_TRUE(vxtest::writeFile(path, data)) << path.toStdString();
}

void makeExecutable(const QString& path)
{
    ASSERT_TRUE(QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner
                                                | QFile::ExeGroup | QFile::ExeOther));
}

std::map<std::string, QByteArray> contents(const QString& root)
{
    vxtest::ReleaseFolder folder;
    EXPECT_TRUE(folder.scan(root)) << folder.errorText().toStdString();
    std::map<std::string, QByteArray> out;
    for (const QString& path : folder.paths())
        out[path.toStdString()] = vxtest::readFile(folder.absolutePath(path));
    return out;
}

QByteArray runScript(const QString& marker)
{
    // Records the folder it was started in, then appears at once under its final name.
    return "#!/bin/sh\npwd > '" + marker.toUtf8() + ".part' && mv '" + marker.toUtf8() + ".part' '"
           + marker.toUtf8() + "'\n";
}

// The old installation and the two new trees (client and updater), the release built from them
// by the tool, and nginx serving it. Shared by the tests of the suite.
struct Release {
    QTemporaryDir root;
    std::unique_ptr<vxtest::NginxServer> nginx;

    QString oldClient() const { return root.filePath("old-client"); }
    QString newClient() const { return root.filePath("new-client"); }
    QString newUpdater() const { return root.filePath("new-updater"); }
    QString server() const { return root.filePath("server"); }
    // The run scripts of both releases write here; the old one must never run.
    QString oldMarker() const { return root.filePath("old-client-started"); }
    QString otherKey() const { return root.filePath("other_private_key.der"); }

    void makeTrees(const QString& newMarker)
    {
        const QByteArray program = vxtest::readFile(VX_UPDATE_PROGRAM);
        ASSERT_FALSE(program.isEmpty());
        QByteArray exe = vxtest::readFile(vxtest::corpusDir() + "/elf32-x86/gcc-386-freebsd-exec");
        ASSERT_GT(exe.size(), 400);
        for (const QString& tree : {oldClient(), newClient(), newUpdater()})
            put(tree + "/update", program);
        put(oldClient() + "/vx3client_runscript.sh", runScript(oldMarker()));
        put(newClient() + "/vx3client_runscript.sh", runScript(newMarker));
        put(oldClient() + "/vx3client_linux_x86", exe);
        put(newClient() + "/vx3client_linux_x86", exe.replace(exe.size() - 300, 10, "release 7!"));
        put(oldClient() + "/updater.txt", QByteArray("updater notes of release 6\n").repeated(40));
        put(newClient() + "/updater.txt", QByteArray("updater notes of release 7\n").repeated(40));
        put(newUpdater() + "/updater.txt", QByteArray("updater notes of release 7\n").repeated(40));
        put(oldClient() + "/readme.txt", QByteArray("Voxmere 3 Client, release 6\n").repeated(40));
        put(newClient() + "/readme.txt", QByteArray("Voxmere 3 Client, release 7\n").repeated(40));
        put(oldClient() + "/sounds/ring.dat", QByteArray(5000, '\x21'));
        put(newClient() + "/sounds/ring.dat", QByteArray(5000, '\x21'));
        put(newClient() + "/sounds/extra/chime.dat", QByteArray(700, '\x42'));
        // Installed empty, patched to content: an empty old file is an input like any other.
        put(oldClient() + "/settings/empty.dat", QByteArray());
        put(newClient() + "/settings/empty.dat", QByteArray("filled in release 7\n").repeated(30));
        put(oldClient() + "/gone.txt", "dropped in release 7");
        put(oldClient() + "/plugins/old/a.so", "old plugin");
    }

    // The tool run as the demo runs it; the big updater program goes as gzip, which is quicker
    // to write than the highest LZMA2 level.
    void publish(const QString& product, const QString& newTree)
    {
        QProcess tool;
        tool.setProcessChannelMode(QProcess::ForwardedChannels);
        tool.start(VX_MKRELEASE, {"--product", product, "--release", QString::number(kVersion),
                                  "--old", oldClient(), "--new", newTree, "--out", server(),
                                  "--gzip", "update", "--gzip", "*.txt", "--quiet"});
        ASSERT_TRUE(tool.waitForFinished(300000));
        ASSERT_EQ(tool.exitStatus(), QProcess::NormalExit);
        ASSERT_EQ(tool.exitCode(), 0);
    }

    // A release of the client whose product ini is signed with a key of its own, not the
    // development key the program is built with.
    void publishForeignSigned(int version, const QString& newMarker)
    {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        openssl.start("sh", {"-c", "openssl genrsa 1024 2>/dev/null | openssl rsa -traditional "
                                   "-outform DER -out '" + otherKey() + "' 2>/dev/null"});
        ASSERT_TRUE(openssl.waitForFinished(60000));
        ASSERT_EQ(openssl.exitCode(), 0);
        const QString tree = root.filePath("foreign-client");
        put(tree + "/vx3client_runscript.sh", runScript(newMarker));
        QProcess tool;
        tool.setProcessChannelMode(QProcess::ForwardedChannels);
        tool.start(VX_MKRELEASE, {"--product", "client", "--release", QString::number(version),
                                  "--new", tree, "--out", server(), "--key", otherKey(),
                                  "--quiet"});
        ASSERT_TRUE(tool.waitForFinished(300000));
        ASSERT_EQ(tool.exitCode(), 0);
    }
};

// One update run: an installation copied from the old tree, the configuration folder whose
// update.ini points the alpha channel at nginx, and a temporary folder of its own (TMPDIR),
// where the work directory and the log files go.
class EndToEndTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        release = new Release;
        ASSERT_TRUE(release->root.isValid());
        release->makeTrees(release->root.filePath("new-client-started"));
        release->publish("update", release->newUpdater());
        release->publish("client", release->newClient());
        release->publishForeignSigned(kForeignSignedVersion,
                                      release->root.filePath("new-client-started"));
        release->nginx = std::make_unique<vxtest::NginxServer>(release->server());
        ASSERT_TRUE(release->nginx->start()) << release->nginx->errorText().toStdString();
    }

    static void TearDownTestSuite()
    {
        delete release;
        release = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(release && release->nginx) << "the release could not be built or served";
        ASSERT_TRUE(dir.isValid());
        QFile::remove(newMarker());
        QFile::remove(release->oldMarker());
        for (const auto& [path, data] : contents(release->oldClient()))
            put(install() + "/" + QString::fromStdString(path), data);
        makeExecutable(install() + "/update");
        makeExecutable(install() + "/vx3client_runscript.sh");
        ASSERT_TRUE(QDir().mkpath(tmp()));
        ASSERT_TRUE(QDir().mkpath(home()));
        put(tmp() + "/vx3_update_log", QByteArray());
        pointAlphaChannelAt(kVersion);
    }

    void pointAlphaChannelAt(int version)
    {
        QSettings channel(config() + "/update.ini", QSettings::IniFormat);
        channel.setValue("Channel/alpha", release->nginx->baseUrl());
        channel.setValue("Channel/alphaRevno", version);
        channel.sync();
        ASSERT_EQ(channel.status(), QSettings::NoError);
    }

    // The new updater in a working directory below the temporary folder, with the session
    // record that names the installation, as phase 1 leaves them for phase 2.
    QString preparePhaseTwo(int version)
    {
        const QString work = tmp() + "/voxmere_temp_0";
        put(work + "/update", vxtest::readFile(VX_UPDATE_PROGRAM));
        makeExecutable(work + "/update");
        QSettings session(work + "/update.ini", QSettings::IniFormat);
        session.setValue("current/version", version);
        session.setValue("current/dir", work);
        session.setValue("current/vx3dir", install());
        session.setValue("current/type", "client_linux_x86");
        session.sync();
        EXPECT_EQ(session.status(), QSettings::NoError);
        return work;
    }

    // Everything the updater processes of this test have logged so far.
    QByteArray logText() const
    {
        QByteArray text;
        QDirIterator it(tmp() + "/voxmere_update_log", QDir::Files);
        while (it.hasNext())
            text += vxtest::readFile(it.next());
        return text;
    }

    void TearDown() override
    {
        killLeftovers();
        if (HasFailure())
            printLogs();
    }

    QString install() const { return dir.filePath("install"); }
    QString tmp() const { return dir.filePath("tmp"); }
    QString home() const { return dir.filePath("home"); }
    QString config() const { return dir.filePath("config"); }
    QString newMarker() const { return release->root.filePath("new-client-started"); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TMPDIR", tmp());
        env.insert("HOME", home());
        env.insert("VX3_CONFIG_DIR", config());
        return env;
    }

    // Runs `program` and waits for its end; its exit code, or -1 after a crash or time-out.
    int run(const QString& program, const QStringList& args)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(program, args);
        if (!process.waitForStarted(30000))
            return -1;
        if (!vxtest::runUntil([&] { return process.state() == QProcess::NotRunning; },
                              kPhaseTimeoutMs)) {
            process.kill();
            process.waitForFinished();
            return -1;
        }
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    bool clientStarted() const
    {
        return vxtest::runUntil([this] { return QFileInfo::exists(newMarker()); },
                                kPhaseTimeoutMs);
    }

    // The working directories the updater made below its temporary folder.
    QStringList workDirs() const
    {
        return QDir(tmp()).entryList({"voxmere_temp_*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    }

    void expectInstalledTreeIsTheNewOne()
    {
        EXPECT_TRUE(contents(install()) == contents(release->newClient()))
            << "installed: " << listing(install()) << "\nexpected: "
            << listing(release->newClient());
        EXPECT_EQ(vxtest::readFile(newMarker()).trimmed(), QFileInfo(install()).canonicalFilePath())
            << "the run script runs in the installation";
        EXPECT_FALSE(QFileInfo::exists(release->oldMarker()));
    }

    static std::string listing(const QString& root)
    {
        std::string out;
        for (const auto& [path, data] : contents(root))
            out += " " + path + "(" + std::to_string(data.size()) + ")";
        return out;
    }

    // Ends updater processes of this test that are still running (a failed run keeps its window
    // open on an error box), found by their program path below the test's folders.
    void killLeftovers()
    {
        const QString mine = QFileInfo(dir.path()).canonicalFilePath() + "/";
        for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
            bool numeric = false;
            const int id = pid.toInt(&numeric);
            if (!numeric)
                continue;
            const QString exe = QFileInfo("/proc/" + pid + "/exe").symLinkTarget();
            if (exe.startsWith(mine))
                ::kill(id, SIGKILL);
        }
    }

    void printLogs() const
    {
        QDirIterator it(tmp() + "/voxmere_update_log", QDir::Files);
        while (it.hasNext()) {
            const QString path = it.next();
            std::printf("---- %s\n%s\n", qPrintable(path), vxtest::readFile(path).constData());
        }
    }

    static Release* release;
    QTemporaryDir dir;
};

Release* EndToEndTest::release = nullptr;

// Phase 2 as phase 1 leaves it.
TEST_F(EndToEndTest, ClientUpdateInstallsTheNewReleaseAndStartsTheClient)
{
    const QString work = preparePhaseTwo(kVersion);
    EXPECT_EQ(run(work + "/update",
                  {"--clientupdate", "client_linux_x86", QString::number(kVersion), "#"}),
              0);
    ASSERT_TRUE(clientStarted());
    expectInstalledTreeIsTheNewOne();
    EXPECT_TRUE(QRegularExpression("ApplyEnsemblePatch status = 1 \\S*settings/empty\\.dat_old ")
                    .match(QString::fromUtf8(logText()))
                    .hasMatch())
        << "the empty installed file is patched";
    EXPECT_TRUE(vxtest::runUntil([&] { return workDirs().isEmpty(); }))
        << "the working directory is removed at the end";
}

// A product ini that the built-in key does not verify ends the run before anything is fetched
// or installed; the window then waits on its error box, and the test ends the program.
TEST_F(EndToEndTest, ClientUpdateRefusesAReleaseSignedWithAnotherKey)
{
    pointAlphaChannelAt(kForeignSignedVersion);
    const QString work = preparePhaseTwo(kForeignSignedVersion);
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(work + "/update", {"--clientupdate", "client_linux_x86",
                                     QString::number(kForeignSignedVersion), "#"});
    ASSERT_TRUE(process.waitForStarted(30000));
    EXPECT_TRUE(vxtest::runUntil(
        [&] { return logText().contains("Failed to verify product ini, aborting"); },
        kPhaseTimeoutMs));
    EXPECT_TRUE(vxtest::runUntil([&] { return !QFileInfo::exists(work + "/vx3_client_linux_x86.ini"); }, 10000))
        << "the rejected ini is removed, so that the next run fetches it again";
    process.kill();
    process.waitForFinished();

    EXPECT_TRUE(contents(install()) == contents(release->oldClient()))
        << "the installation is untouched";
    EXPECT_FALSE(QFileInfo::exists(newMarker()));
    EXPECT_FALSE(QFileInfo::exists(release->oldMarker()));
    EXPECT_FALSE(QFileInfo::exists(work + "/vx3_client_linux_x86.ini.sig"));
}

// Both phases from the installed updater on: phase 1 assembles the new updater in a working
// directory and starts it, phase 2 updates the client and starts its run script.
TEST_F(EndToEndTest, TwoPhaseUpdateFromTheInstalledUpdater)
{
    EXPECT_EQ(run(install() + "/update", {}), 0) << "phase 1 ends after starting phase 2";
    ASSERT_TRUE(clientStarted());
    EXPECT_TRUE(vxtest::runUntil([&] { return workDirs().isEmpty(); }))
        << "phase 2 removes the working directory";
    expectInstalledTreeIsTheNewOne();
    EXPECT_FALSE(QFileInfo::exists(install() + "/update.ini"))
        << "phase 1 removes its session record";
}

} // namespace
