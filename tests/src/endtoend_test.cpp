// The real update program against a release served by nginx on 127.0.0.1: phase 2 on its own
// (started as phase 1 would start it), and both phases from the installed updater on. The release
// is built by the release fixtures tool from an old and a new client tree; the installation must
// end byte-identical to the new tree and the new run script must have been started.
#include "httpservers.h"
#include "eventloop.h"
#include "initestutil.h"
#include "otheruser.h"
#include "releasefolder.h"
#include "testpaths.h"
#include "updaterun.h"

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

#include <map>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kVersion = 7;
const int kForeignSignedVersion = 8;
// The client release of the same trees with a pre-install and a post-install program.
const int kInstallProgramsVersion = 9;
// The new client tree with files whose names need escapes in a URL.
const int kOddNamesVersion = 10;
const char* const kOddNames[] = {"odd/a#b.txt", "odd/what?.txt", "odd/100%.txt",
                                 "odd/with space.txt", "odd/caf\u00e9 \u00fc.txt"};
// The program's exit status for an update that failed, was cancelled or never started.
const int kNotFinishedStatus = 3;
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
    QString oddClient() const { return root.filePath("odd-client"); }
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
    void publish(const QString& product, const QString& newTree, int version = kVersion,
                 const QStringList& more = {})
    {
        QProcess tool;
        tool.setProcessChannelMode(QProcess::ForwardedChannels);
        tool.start(VX_MKRELEASE, QStringList{"--product", product, "--release",
                                             QString::number(version), "--old", oldClient(),
                                             "--new", newTree, "--out", server(), "--gzip",
                                             "update", "--gzip", "*.txt", "--quiet"}
                                     + more);
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

// A virtual X display (Xvfb) on which a test acts as the user through x11user.py: closes
// windows and answers boxes that the offscreen platform would leave waiting.
class VirtualDisplay
{
public:
    ~VirtualDisplay()
    {
        server.kill();
        server.waitForFinished();
    }

    static bool available() { return QFileInfo("/usr/bin/Xvfb").isExecutable(); }

    bool start()
    {
        server.start("/usr/bin/Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                                       "1024x768x24"});
        if (!vxtest::runUntil([&] { return server.canReadLine(); }, 20000))
            return false;
        name = ":" + QString::fromLatin1(server.readLine()).trimmed();
        return name.size() > 1;
    }

    // Runs x11user.py with `args` on this display; its exit code.
    int act(const QStringList& args) const
    {
        QProcess user;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", name);
        user.setProcessEnvironment(env);
        user.setProcessChannelMode(QProcess::ForwardedChannels);
        user.start("/usr/bin/python3", QStringList{VXTEST_X11USER} + args);
        if (!user.waitForFinished(120000))
            return -1;
        return user.exitStatus() == QProcess::NormalExit ? user.exitCode() : -1;
    }

    // The environment of a program shown on this display.
    void use(QProcessEnvironment& env) const
    {
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", name);
        // The X11 platform's own threads end while the program exits, and the leak checker's
        // stop-the-world can catch one half gone and die with status 1. The offscreen runs of
        // the same program keep the leak check.
        const QString asan = env.value("ASAN_OPTIONS");
        env.insert("ASAN_OPTIONS", (asan.isEmpty() ? "" : asan + ":") + "detect_leaks=0");
    }

private:
    QProcess server;
    QString name;
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
        release->publish("client", release->newClient(), kInstallProgramsVersion,
                         {"--preinstall", "hold.sh", "--postinstall", "post.sh"});
        for (const auto& [path, data] : contents(release->newClient()))
            put(release->oddClient() + "/" + QString::fromStdString(path), data);
        for (const char* name : kOddNames)
            put(release->oddClient() + "/" + QString::fromUtf8(name), QByteArray(name).repeated(9));
        release->publish("client", release->oddClient(), kOddNamesVersion);
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
    // record that names the installation, as phase 1 leaves them for phase 2; made with mkpath
    // under the user's umask `mask`, as an earlier updater makes them.
    QString preparePhaseTwo(int version, mode_t mask = 022)
    {
        const mode_t callerMask = ::umask(mask);
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
        ::umask(callerMask);
        return work;
    }

    QString hold() const { return dir.filePath("hold"); }
    QString waiting() const { return dir.filePath("waiting"); }
    QString postInstallRuns() const { return dir.filePath("post-install-runs"); }

    // The install programs of kInstallProgramsVersion, as phase 1 would leave them in `work`:
    // the pre-install one waits while the hold file exists (two minutes at most), the
    // post-install one counts its runs.
    void putInstallPrograms(const QString& work)
    {
        put(hold(), "");
        put(work + "/hold.sh", ("#!/bin/sh\ntouch '" + waiting() + "'\nn=0\nwhile [ -e '" + hold()
                                + "' ] && [ $n -lt 1200 ]; do sleep 0.1; n=$((n+1)); done\n")
                                   .toUtf8());
        put(work + "/post.sh", ("#!/bin/sh\necho ran >> '" + postInstallRuns() + "'\n").toUtf8());
        makeExecutable(work + "/hold.sh");
        makeExecutable(work + "/post.sh");
    }

    // Starts phase 2 from `work` for `version` without waiting for it.
    void startPhaseTwo(QProcess& process, const QString& work, int version,
                       const QProcessEnvironment& env)
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(work + "/update",
                      {"--clientupdate", "client_linux_x86", QString::number(version), "#"});
        ASSERT_TRUE(process.waitForStarted(30000));
    }

    // Everything the updater processes of this test have logged so far (with `tmpDir` as their
    // temporary folder, when given).
    QByteArray logText(const QString& tmpDir = QString()) const
    {
        QByteArray text;
        QDirIterator it((tmpDir.isEmpty() ? tmp() : tmpDir) + "/voxmere_update_log", QDir::Files);
        while (it.hasNext())
            text += vxtest::readFile(it.next());
        return text;
    }

    void TearDown() override
    {
        killLeftovers();
        for (const QString& file : vxtest::runtimeFilesOf(install()))
            QFile::remove(file);
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
        // The socket then lies in root's folder below /run (or, for another user, in the test's
        // temporary folder), named after the test's own program path.
        env.remove("XDG_RUNTIME_DIR");
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("TMPDIR", tmp());
        env.insert("HOME", home());
        env.insert("VX3_CONFIG_DIR", config());
        return env;
    }

    // Runs `program` (in `env`, when given) and waits for its end; its exit code, or -1 after a
    // crash or time-out.
    int run(const QString& program, const QStringList& args, int timeoutMs = kPhaseTimeoutMs,
            const QProcessEnvironment& env = QProcessEnvironment())
    {
        QProcess process;
        process.setProcessEnvironment(env.isEmpty() ? environment() : env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(program, args);
        if (!process.waitForStarted(30000))
            return -1;
        if (!vxtest::runUntil([&] { return process.state() == QProcess::NotRunning; },
                              timeoutMs)) {
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

    void expectInstalledTreeIsTheNewOne(const QString& newTree = QString())
    {
        const QString expected = newTree.isEmpty() ? release->newClient() : newTree;
        EXPECT_TRUE(contents(install()) == contents(expected))
            << "installed: " << listing(install()) << "\nexpected: " << listing(expected);
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
        vxtest::killProcessesBelow({QFileInfo(dir.path()).canonicalFilePath()});
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
    EXPECT_EQ(vxtest::runtimeFilesOf(install()), QStringList()) << "lock file and socket go with the run";
}

// An earlier updater under umask 002 with a private user group made its work folder 0775: no
// other user can write to it, so phase 2 continues from it and updates the installation in
// place.
TEST_F(EndToEndTest, ClientUpdateContinuesFromAWorkFolderOfAPrivateGroup)
{
    const QString work = preparePhaseTwo(kVersion, 002);
    ASSERT_EQ(QFileInfo(work).permissions() & 0x0777, 0x0775);
    EXPECT_EQ(run(work + "/update",
                  {"--clientupdate", "client_linux_x86", QString::number(kVersion), "#"}),
              0);
    ASSERT_TRUE(clientStarted());
    expectInstalledTreeIsTheNewOne();
    EXPECT_TRUE(vxtest::runUntil([&] { return workDirs().isEmpty(); }));
}

// So may the installation, with a link to a folder of its own in it: the link is followed and
// the folder behind it updated in place.
TEST_F(EndToEndTest, ClientUpdateFollowsALinkInAnInstallationOfAPrivateGroup)
{
    const QString work = preparePhaseTwo(kVersion, 002);
    ASSERT_TRUE(QDir(install()).rename("sounds", "sounds.real"));
    ASSERT_EQ(::symlink("sounds.real", QFile::encodeName(install() + "/sounds").constData()), 0);
    for (const QString& folder : {install(), install() + "/sounds.real"})
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0775), 0);
    EXPECT_EQ(run(work + "/update", {"--clientupdate", "client_linux_x86", QString::number(kVersion), "#"}), 0);
    ASSERT_TRUE(clientStarted());
    EXPECT_TRUE(QFileInfo(install() + "/sounds").isSymLink());
    EXPECT_EQ(vxtest::readFile(install() + "/sounds.real/extra/chime.dat"), QByteArray(700, '\x42'));
}

// The same folder with a group that has another user in it: phase 2 names the reason and ends
// with exit 3 once the user has closed the box and the window; nothing outside the work folder
// changes and no client starts.
TEST_F(EndToEndTest, ClientUpdateRefusesAWorkFolderAnotherUserCanWrite)
{
    if (!VirtualDisplay::available() || !vxtest::otherUserUnavailable().isEmpty())
        GTEST_SKIP() << "needs Xvfb to act as the user, and root to give the folder another group";
    VirtualDisplay display;
    ASSERT_TRUE(display.start());
    QProcessEnvironment env = environment();
    display.use(env);
    const QString work = preparePhaseTwo(kVersion, 002);
    ASSERT_EQ(::chown(QFile::encodeName(work).constData(), uid_t(-1), vxtest::otherUserGroupId()), 0);
    const auto installed = contents(install());
    const auto configured = contents(config());
    const auto handedOver = contents(work);

    QProcess phaseTwo;
    startPhaseTwo(phaseTwo, work, kVersion, env);
    EXPECT_TRUE(vxtest::runUntil([&] { return logText().contains("Refusing the session record"); },
                                 kPhaseTimeoutMs));
    EXPECT_EQ(display.act({"dismiss", "Voxmere 3 Client Update", "60"}), 0);
    EXPECT_TRUE(vxtest::runUntil([&] { return phaseTwo.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(phaseTwo.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(phaseTwo.exitCode(), kNotFinishedStatus);

    EXPECT_TRUE(logText().contains(
        QString("'%1' is writable by group or others (mode 0775, group %2 has other members)")
            .arg(work).arg(vxtest::otherUserGroupId()).toUtf8()))
        << logText().constData();
    EXPECT_TRUE(contents(install()) == installed) << "the installation is untouched";
    EXPECT_TRUE(contents(config()) == configured);
    EXPECT_TRUE(contents(work) == handedOver) << "the session record stays as it was";
    EXPECT_EQ(workDirs(), QStringList{"voxmere_temp_0"});
    EXPECT_FALSE(QFileInfo::exists(newMarker()));
    EXPECT_FALSE(QFileInfo::exists(release->oldMarker()));
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
    // Wait for the last of the rejected files to go before the process is killed.
    EXPECT_TRUE(vxtest::runUntil([&] { return !QFileInfo::exists(work + "/vx3_client_linux_x86.ini.sig"); }, 10000));
    EXPECT_FALSE(QFileInfo::exists(work + "/vx3_client_linux_x86.ini"))
        << "the rejected ini is removed, so that the next run fetches it again";
    process.kill();
    process.waitForFinished();

    EXPECT_TRUE(contents(install()) == contents(release->oldClient()))
        << "the installation is untouched";
    EXPECT_FALSE(QFileInfo::exists(newMarker()));
    EXPECT_FALSE(QFileInfo::exists(release->oldMarker()));
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

// The channel and the proxy set only in the installation's update.ini serve both phases: every
// request of phase 1 and of phase 2 passes the proxy, and the settings outlive the update.
TEST_F(EndToEndTest, InstallationSettingsServeBothPhasesAndStay)
{
    ASSERT_TRUE(QFile::remove(config() + "/update.ini"));
    vxtest::NginxServer proxy(release->server(), release->nginx->baseUrl().chopped(1));
    ASSERT_TRUE(proxy.start()) << proxy.errorText().toStdString();
    const QString settings = "[Channel]\nalpha=" + release->nginx->baseUrl() + "\nalphaRevno="
                             + QString::number(kVersion) + "\n[update]\nproxy=http://127.0.0.1:"
                             + QString::number(proxy.port()) + "\nstreams=2\n";
    ASSERT_TRUE(vxtest::writeIni(install() + "/update.ini", settings.toUtf8()));

    EXPECT_EQ(run(install() + "/update", {}), 0);
    ASSERT_TRUE(clientStarted());
    EXPECT_TRUE(vxtest::runUntil([&] { return workDirs().isEmpty(); }));
    const QStringList requests = proxy.requestLines();
    const QString base = "GET " + release->nginx->baseUrl() + QString::number(kVersion) + "/";
    EXPECT_TRUE(requests.contains(base + "update_linux_x86.ini._lzma2_ HTTP/1.1"))
        << requests.join('\n').toStdString();
    EXPECT_TRUE(requests.contains(base + "vx3_client_linux_x86.ini._lzma2_ HTTP/1.1"))
        << "phase 2 goes through the proxy too: " << requests.join('\n').toStdString();
    EXPECT_TRUE(requests.contains(base + "client/sounds/extra/chime.dat._lzma2_ HTTP/1.1"))
        << requests.join('\n').toStdString();

    QSettings kept(install() + "/update.ini", QSettings::IniFormat);
    EXPECT_EQ(kept.childGroups(), (QStringList{"Channel", "update"}));
    EXPECT_EQ(kept.value("Channel/alpha").toString(), release->nginx->baseUrl());
    EXPECT_EQ(kept.value("update/proxy").toString(),
              "http://127.0.0.1:" + QString::number(proxy.port()));
    ASSERT_TRUE(QFile::remove(install() + "/update.ini"));
    expectInstalledTreeIsTheNewOne();
}

// A fatal error (an invalid proxy) leaves its box up; the start timer runs underneath it and
// must not start anything.
TEST_F(EndToEndTest, FatalErrorStopsTheDelayedStart)
{
    ASSERT_TRUE(vxtest::writeIni(install() + "/update.ini", "[update]\nproxy=\"http://[::1\"\n"));
    const auto before = contents(install());
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(install() + "/update", QStringList());
    ASSERT_TRUE(process.waitForStarted(30000));
    EXPECT_TRUE(vxtest::runUntil([&] { return logText().contains("onStartUpdate"); },
                                 kPhaseTimeoutMs));
    vxtest::runFor(3000);
    EXPECT_EQ(process.state(), QProcess::Running) << "the error box waits for the user";
    process.kill();
    process.waitForFinished();

    EXPECT_FALSE(logText().contains("Update engine initialized")) << logText().constData();
    EXPECT_TRUE(contents(install()) == before) << "the installation is untouched";
    EXPECT_TRUE(workDirs().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(newMarker()));
}

// Published names with characters that a URL must escape reach nginx intact.
TEST_F(EndToEndTest, NamesThatNeedEscapesAreFetched)
{
    pointAlphaChannelAt(kOddNamesVersion);
    const QString work = preparePhaseTwo(kOddNamesVersion);
    EXPECT_EQ(run(work + "/update",
                  {"--clientupdate", "client_linux_x86", QString::number(kOddNamesVersion), "#"}),
              0);
    ASSERT_TRUE(clientStarted());
    expectInstalledTreeIsTheNewOne(release->oddClient());
    for (const char* name : kOddNames) {
        SCOPED_TRACE(name);
        EXPECT_EQ(vxtest::readFile(install() + "/" + QString::fromUtf8(name)),
                  QByteArray(name).repeated(9));
    }
}

// The installed updater started while phase 2 works on the installation (under another
// program path, so the single-instance socket does not meet it, and with a temporary folder of
// its own) is refused at once, and the post-install program runs once.
TEST_F(EndToEndTest, SecondUpdaterIsRefusedWhilePhaseTwoRuns)
{
    pointAlphaChannelAt(kInstallProgramsVersion);
    const QString work = preparePhaseTwo(kInstallProgramsVersion);
    putInstallPrograms(work);
    QProcess phaseTwo;
    startPhaseTwo(phaseTwo, work, kInstallProgramsVersion, environment());
    ASSERT_TRUE(vxtest::runUntil([&] { return QFileInfo::exists(waiting()); }, kPhaseTimeoutMs));

    // (Without a runtime folder, a user other than root keeps the lock in the temp folder.)
    const QString otherTmp = ::geteuid() == 0 ? dir.filePath("other-tmp") : tmp();
    put(otherTmp + "/vx3_update_log", QByteArray());
    QProcessEnvironment otherEnv = environment();
    otherEnv.insert("TMPDIR", otherTmp);
    EXPECT_EQ(run(install() + "/update", {}, 60000, otherEnv), 0);
    EXPECT_TRUE(logText(otherTmp).contains("Detected other instance running, aborting"));
    EXPECT_FALSE(QFileInfo::exists(install() + "/update.ini")) << "the second run recorded nothing";

    ASSERT_TRUE(QFile::remove(hold()));
    EXPECT_TRUE(vxtest::runUntil([&] { return phaseTwo.state() == QProcess::NotRunning; },
                                 kPhaseTimeoutMs));
    EXPECT_EQ(phaseTwo.exitCode(), 0);
    ASSERT_TRUE(clientStarted());
    EXPECT_EQ(vxtest::readFile(postInstallRuns()), "ran\n");
    expectInstalledTreeIsTheNewOne();
}

// What a launcher sees once the user has closed the boxes and the window: a failed update and
// a cancelled one end with a non-zero status (a finished one with 0, as the tests above show).
TEST_F(EndToEndTest, FailedAndCancelledUpdatesEndWithNonZeroStatus)
{
    if (!VirtualDisplay::available())
        GTEST_SKIP() << "needs Xvfb to act as the user";
    VirtualDisplay display;
    ASSERT_TRUE(display.start());
    QProcessEnvironment env = environment();
    display.use(env);
    const auto before = contents(install());
    const QString window = "Voxmere 3 Client Update";

    // Failure: a product ini that the built-in key does not verify.
    pointAlphaChannelAt(kForeignSignedVersion);
    QProcess failing;
    startPhaseTwo(failing, preparePhaseTwo(kForeignSignedVersion), kForeignSignedVersion, env);
    EXPECT_TRUE(vxtest::runUntil(
        [&] { return logText().contains("Failed to verify product ini, aborting"); },
        kPhaseTimeoutMs));
    EXPECT_EQ(display.act({"dismiss", window, "60"}), 0);
    EXPECT_TRUE(vxtest::runUntil([&] { return failing.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(failing.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(failing.exitCode(), kNotFinishedStatus);
    EXPECT_EQ(vxtest::runtimeFilesOf(install()), QStringList());

    // Cancel: the user closes the window while the pre-install program runs, and confirms.
    // (A fresh work folder: the rejected ini of the failed run stays in the old one.)
    ASSERT_TRUE(QDir(tmp() + "/voxmere_temp_0").removeRecursively());
    pointAlphaChannelAt(kInstallProgramsVersion);
    const QString work = preparePhaseTwo(kInstallProgramsVersion);
    putInstallPrograms(work);
    QProcess cancelled;
    startPhaseTwo(cancelled, work, kInstallProgramsVersion, env);
    ASSERT_TRUE(vxtest::runUntil([&] { return QFileInfo::exists(waiting()); }, kPhaseTimeoutMs));
    EXPECT_EQ(display.act({"close", window}), 0);
    EXPECT_EQ(display.act({"key", "Question", "y"}), 0);
    ASSERT_TRUE(QFile::remove(hold()));
    EXPECT_TRUE(vxtest::runUntil([&] { return cancelled.state() == QProcess::NotRunning; },
                                 60000));
    EXPECT_EQ(cancelled.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(cancelled.exitCode(), kNotFinishedStatus);
    EXPECT_EQ(vxtest::runtimeFilesOf(install()), QStringList());
    EXPECT_FALSE(QFileInfo::exists(postInstallRuns()));

    EXPECT_TRUE(contents(install()) == before) << "the installation is untouched";
    EXPECT_FALSE(QFileInfo::exists(newMarker()));
}

} // namespace
