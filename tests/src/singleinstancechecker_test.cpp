#include "singleinstancechecker.h"

#include "eventloop.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <memory>

namespace {

// Bitwise CRC-16 of ISO 3309 (X.25): reflected 0x1021 (0x8408), start 0xFFFF, result inverted.
quint16 x25Crc(const QByteArray& bytes)
{
    quint16 crc = 0xFFFF;
    for (const char c : bytes) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}

// The socket path of the running instance; removes what a crashed run may have left.
QString socketPath()
{
    return QDir::tempPath() + "/" + SingleInstanceChecker::serverName();
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

TEST(SingleInstanceChecker, ServerNameIsCrcOfFoldedPathAndHome)
{
    struct Case {
        const char* path;
        const char* home;
    };
    const Case cases[] = {
        {"/opt/Voxmere/update", "/home/anna"},
        {"/opt/voxmere/update", "/home/anna"},
        {"/home/anna/.vx3client/update", "/home/anna"},
        {"C:/Programs/Update", "/home/Ben"},
        {"/opt/voxmere/update", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        QString key = QString(c.path).toLower() + c.home;
        key.remove('/');
        key.remove(':');
        const QString expected = "VX3ClientUpdate" + QString::number(x25Crc(key.toUtf8()), 16);
        EXPECT_EQ(SingleInstanceChecker::serverNameFor(c.path, c.home), expected);
    }
    // The check value of the X.25 CRC guards the reference implementation itself.
    EXPECT_EQ(x25Crc("123456789"), 0x906E);
}

TEST(SingleInstanceChecker, ServerNameFoldsOnlyThePathCase)
{
    EXPECT_EQ(SingleInstanceChecker::serverNameFor("/opt/Voxmere/Update", "/home/anna"),
              SingleInstanceChecker::serverNameFor("/opt/voxmere/update", "/home/anna"));
    EXPECT_NE(SingleInstanceChecker::serverNameFor("/opt/voxmere/update", "/home/Anna"),
              SingleInstanceChecker::serverNameFor("/opt/voxmere/update", "/home/anna"));
    EXPECT_NE(SingleInstanceChecker::serverNameFor("/opt/a/update", "/home/anna"),
              SingleInstanceChecker::serverNameFor("/opt/b/update", "/home/anna"));
    EXPECT_NE(SingleInstanceChecker::serverNameFor("/opt/voxmere/update", "/home/anna"),
              SingleInstanceChecker::serverNameFor("/opt/voxmere/update", "/home/bert"));
    EXPECT_EQ(SingleInstanceChecker::serverName(),
              SingleInstanceChecker::serverNameFor(QCoreApplication::applicationFilePath(), QDir::homePath()));
}

TEST(SingleInstanceChecker, SecondProcessDeliversItsMessage)
{
    QLocalServer::removeServer(SingleInstanceChecker::serverName());
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
    QLocalServer::removeServer(SingleInstanceChecker::serverName());
    auto second = startSecondInstance("#", false);
    ASSERT_TRUE(waitForExit(*second));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
}

TEST(SingleInstanceChecker, EmptyMessageIsNotDelivered)
{
    QLocalServer::removeServer(SingleInstanceChecker::serverName());
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
    QLocalServer::removeServer(SingleInstanceChecker::serverName());
    SingleInstanceChecker checker;
    QSignalSpy spy(&checker, &SingleInstanceChecker::otherInstanceActivate);
    const QByteArray payloads[] = {QByteArray("ab\0cd", 5), QByteArray("raise"), QByteArray("\xe9t\xe9")};
    for (const QByteArray& payload : payloads) {
        QLocalSocket socket;
        socket.connectToServer(SingleInstanceChecker::serverName());
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
    QLocalServer::removeServer(SingleInstanceChecker::serverName());
    QLocalSocket socket;
    {
        SingleInstanceChecker checker;
        socket.connectToServer(SingleInstanceChecker::serverName());
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
    QLocalServer::removeServer(SingleInstanceChecker::serverName());
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
    QLocalServer::removeServer(SingleInstanceChecker::serverName());
    SingleInstanceChecker first;
    QSignalSpy firstSpy(&first, &SingleInstanceChecker::otherInstanceActivate);
    SingleInstanceChecker second;
    EXPECT_TRUE(SingleInstanceChecker::sendMessage("#"));
    EXPECT_TRUE(vxtest::waitForCount(firstSpy, 1));
}
