#include "singleinstancechecker.h"

#include "eventloop.h"
#include "installationlock.h"
#include "otheruser.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString socketPath()
{
    return SingleInstanceChecker::socketPath();
}

const char kChildEnv[] = "VX_GUARD_CHILD_MESSAGE";
const char kChildExpectEnv[] = "VX_GUARD_CHILD_EXPECT";

// Starts this test binary again as a second updater that sends `message`; it exits 0 when the
// delivery went as `expectDelivered` says.
std::unique_ptr<QProcess> startSecondInstance(const QString& message, bool expectDelivered)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildEnv, message);
    env.insert(kChildExpectEnv, expectDelivered ? "1" : "0");
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(QCoreApplication::applicationFilePath(),
                   {"--gtest_filter=SingleInstanceChild.SendsMessageAndReportsDelivery"});
    return process;
}

bool waitForExit(QProcess& process)
{
    return vxtest::runUntil([&] { return process.state() == QProcess::NotRunning; }, 20000);
}

} // namespace

// Runs only as the child of the tests below.
TEST(SingleInstanceChild, SendsMessageAndReportsDelivery)
{
    if (!qEnvironmentVariableIsSet(kChildEnv))
        GTEST_SKIP() << "runs only as a second instance";
    EXPECT_EQ(SingleInstanceChecker::sendMessage(qEnvironmentVariable(kChildEnv)),
              qEnvironmentVariable(kChildExpectEnv) == "1");
}

// Every spelling of one installation names one socket, and no other installation's.
TEST(SingleInstanceChecker, ServerNameIsADigestOfTheCanonicalInstallationPath)
{
    QTemporaryDir root;
    ASSERT_TRUE(QDir().mkpath(root.filePath("crcx/a/b")) && QDir().mkpath(root.filePath("crcx/ab")));
    ASSERT_TRUE(QFile::link(root.filePath("crcx/ab"), root.filePath("link")));
    const QByteArray canonical = QFileInfo(root.filePath("crcx/ab")).canonicalFilePath().toUtf8();
    const QString name = "VX3ClientUpdate" + QCryptographicHash::hash(canonical, QCryptographicHash::Sha256).toHex().left(32);
    const std::pair<const char*, bool> spellings[] = {{"crcx/ab", true},      {"crcx/ab/", true}, {"link", true},
                                                      {"crcx/a/../ab", true}, {"crcx/a/b", false}, {"crcx/AB", false}};
    for (const auto& [spelling, same] : spellings) {
        SCOPED_TRACE(spelling);
        EXPECT_EQ(SingleInstanceChecker::serverNameFor(root.filePath(spelling)) == name, same);
    }
    QString error;
    ASSERT_EQ(InstallationLock::acquire(root.filePath("crcx/a/b"), &error), InstallationLock::Acquired);
    EXPECT_EQ(SingleInstanceChecker::serverName(), SingleInstanceChecker::serverNameFor(root.filePath("crcx/a/b")));
    InstallationLock::release();
}

TEST(SingleInstanceChecker, SecondProcessDeliversItsMessage)
{
    QLocalServer::removeServer(socketPath());
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    auto second = startSecondInstance("#", true);
    ASSERT_TRUE(vxtest::waitForCount(spy, 1, 20000));
    EXPECT_EQ(spy.at(0).at(0).toString(), "#");
    ASSERT_TRUE(waitForExit(*second));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
}

TEST(SingleInstanceChecker, SecondProcessFindsNobodyWithoutAServer)
{
    QLocalServer::removeServer(socketPath());
    auto second = startSecondInstance("#", false);
    ASSERT_TRUE(waitForExit(*second));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
}

TEST(SingleInstanceChecker, EmptyMessageIsNotDelivered)
{
    QLocalServer::removeServer(socketPath());
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_FALSE(SingleInstanceChecker::sendMessage(QString()));
    // A real message sent afterwards is the first and only one to arrive.
    EXPECT_TRUE(SingleInstanceChecker::sendMessage("#"));
    ASSERT_TRUE(vxtest::waitForCount(spy, 1));
    vxtest::drainEvents();
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), "#");
}

TEST(SingleInstanceChecker, MessageEndsAtFirstZeroByteAndEachConnectionCounts)
{
    QLocalServer::removeServer(socketPath());
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    const QByteArray payloads[] = {QByteArray("ab\0cd", 5), QByteArray("raise"), QByteArray("\xe9t\xe9")};
    for (const QByteArray& payload : payloads) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        ASSERT_TRUE(socket.waitForConnected(1000));
        socket.write(payload);
        ASSERT_TRUE(socket.waitForBytesWritten(1000));
        ASSERT_TRUE(vxtest::waitForCount(spy, spy.count() + 1));
    }
    ASSERT_EQ(spy.count(), 3);
    EXPECT_EQ(spy.at(0).at(0).toString(), "ab");
    EXPECT_EQ(spy.at(1).at(0).toString(), "raise");
    EXPECT_EQ(spy.at(2).at(0).toString(), QString::fromLatin1("\xe9t\xe9"));
}

TEST(SingleInstanceChecker, ClosesAConnectionThatNeverSpoke)
{
    QLocalServer::removeServer(socketPath());
    QLocalSocket socket;
    {
        SingleInstanceChecker checker;
        socket.connectToServer(socketPath());
        ASSERT_TRUE(socket.waitForConnected(1000));
        // Let the server take the connection before it goes away.
        vxtest::runFor(50);
    }
    EXPECT_TRUE(vxtest::runUntil([&] {
        return socket.state() == QLocalSocket::UnconnectedState;
    }));
    EXPECT_FALSE(SingleInstanceChecker::sendMessage("#"));
}

TEST(SingleInstanceChecker, ReplacesTheSocketOfACrashedRun)
{
    QLocalServer::removeServer(socketPath());
    {
        // A socket file that nobody listens on, as a crashed run leaves it.
        QFile stale(socketPath());
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    ASSERT_FALSE(SingleInstanceChecker::sendMessage("#"));
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    EXPECT_TRUE(SingleInstanceChecker::sendMessage("#"));
    EXPECT_TRUE(vxtest::waitForCount(spy, 1));
}

TEST(SingleInstanceChecker, LeavesTheSocketOfALiveInstanceAlone)
{
    QLocalServer::removeServer(socketPath());
    SingleInstanceChecker first;
    QSignalSpy firstSpy(&first, &SingleInstanceChecker::otherInstanceActivate);
    SingleInstanceChecker second;
    EXPECT_TRUE(SingleInstanceChecker::sendMessage("#"));
    EXPECT_TRUE(vxtest::waitForCount(firstSpy, 1));
}

// Another local user who plants {temp}/vx3update-0 first (a folder in which they listen, a
// link to a folder of theirs, or a file) neither stops root's runs nor gets their message: root
// keeps its socket and installation locks below /run, where only root can create names.
TEST(SingleInstanceChecker, ANamePlantedInTheTempFolderDoesNotStopRoot)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    QTemporaryDir shared;
    ASSERT_TRUE(shared.isValid());
    // World-writable with the sticky bit, as /tmp is.
    ASSERT_EQ(::chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
    const QByteArray savedTmp = qgetenv("TMPDIR");
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    qunsetenv("XDG_RUNTIME_DIR");
    const QString folder = shared.path() + "/vx3update-0";
    const QString rootSocket = "/run/vx3update/" + SingleInstanceChecker::serverName();

    // As nobody: plants the name and listens in the folder, when it is one.
    const char* squatter = R"(
import os, socket, sys
folder, name, kind = sys.argv[1:4]
if kind == 'file':
    open(folder, 'w').close()
elif kind == 'link':
    os.mkdir(folder + '-own'); os.chmod(folder + '-own', 0o777)
    os.symlink(folder + '-own', folder)
else:
    os.mkdir(folder); os.chmod(folder, 0o777 if kind == 'open' else 0o700)
server = socket.socket(socket.AF_UNIX)
server.bind(os.path.join(folder, name) if kind != 'file' else folder + '-socket'); server.listen(5)
print('ready', flush=True)
while True:
    server.accept(); print('connected', flush=True)
)";
    for (const char* kind : {"open", "private", "link", "file"}) {
        SCOPED_TRACE(kind);
        QProcess squat;
        squat.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                "/usr/bin/python3", "-c", squatter, folder,
                                SingleInstanceChecker::serverName(), kind});
        ASSERT_TRUE(vxtest::runUntil([&] { return squat.canReadLine(); }, 20000))
            << squat.readAllStandardError().constData();
        ASSERT_EQ(squat.readLine(), "ready\n");

        QString reason;
        EXPECT_EQ(SingleInstanceChecker::socketPath(&reason), rootSocket) << reason.toStdString();
        QString lockError;
        EXPECT_EQ(InstallationLock::acquire(shared.path(), &lockError), InstallationLock::Acquired)
            << lockError.toStdString();
        InstallationLock::release();
        {
            SingleInstanceChecker checker;
            QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
            EXPECT_TRUE(SingleInstanceChecker::sendMessage("#"));
            EXPECT_TRUE(vxtest::waitForCount(spy, 1));
        }
        vxtest::runFor(200);
        EXPECT_FALSE(squat.readAllStandardOutput().contains("connected"));
        EXPECT_EQ(QFileInfo(folder).ownerId(), vxtest::otherUserId()) << "the planted name stays theirs";
        squat.kill();
        squat.waitForFinished();
        QFile::remove(folder);
        QFile::remove(folder + "-socket");
        QDir(folder).removeRecursively();
        QDir(folder + "-own").removeRecursively();
    }
    QFile::remove(InstallationLock::lockFilePath("/run/vx3update", shared.path()));
    EXPECT_EQ(QFileInfo("/run/vx3update").permissions() & (QFile::WriteGroup | QFile::WriteOther), 0);
    EXPECT_EQ(QFileInfo("/run/vx3update").ownerId(), 0u);

    // Nor a user's (one without an account entry will do), who keeps them in their home folder.
    const uid_t user = 54321;
    const QString home = shared.path() + "/home";
    const QByteArray savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home));
    ASSERT_TRUE(QDir().mkdir(home));
    ASSERT_EQ(::chown(QFile::encodeName(home).constData(), user, user), 0);
    for (const char* plant : {"mkdir -m 777 vx3update-54321", "ln -s / vx3update-54321", "touch vx3update-54321"}) {
        SCOPED_TRACE(plant);
        ASSERT_TRUE(vxtest::runAsOtherUser(shared.path(), plant));
        QString reason, lockError;
        ASSERT_TRUE(::setegid(user) == 0 && ::seteuid(user) == 0);
        const QString path = SingleInstanceChecker::socketPath(&reason);
        const InstallationLock::Result locked = InstallationLock::acquire(shared.path(), &lockError);
        InstallationLock::release();
        ASSERT_TRUE(::seteuid(0) == 0 && ::setegid(0) == 0);
        EXPECT_EQ(path, home + "/.vx3update/" + SingleInstanceChecker::serverName()) << reason.toStdString();
        EXPECT_EQ(locked, InstallationLock::Acquired) << lockError.toStdString();
        EXPECT_TRUE(vxtest::runAsOtherUser(shared.path(), "rm -rf vx3update-54321"));
    }
    qputenv("HOME", savedHome);

    // $XDG_RUNTIME_DIR is used for the socket only when it is this user's private folder (sudo
    // may keep the invoking user's).
    const QString runtime = shared.path() + "/runtime";
    ASSERT_TRUE(QDir().mkdir(runtime));
    ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), 0700), 0);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    EXPECT_EQ(SingleInstanceChecker::socketPath(), runtime + "/" + SingleInstanceChecker::serverName());
    ASSERT_EQ(::chown(QFile::encodeName(runtime).constData(), vxtest::otherUserId(), gid_t(-1)), 0);
    EXPECT_EQ(SingleInstanceChecker::socketPath(), rootSocket);
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", savedTmp);
    if (!savedRuntime.isEmpty())
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
}
