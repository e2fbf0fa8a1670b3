#include "eventloop.h"
#include "httpdownloader.h"
#include "httpservers.h"
#include "localhttpserver.h"
#include "testpaths.h"
#include "updatechecker.h"
#include "versionlist.h"
#include "versionstestsupport.h"

#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QByteArray encodeVersions(const char* text)
{
    QByteArray bytes;
    EXPECT_TRUE(vxtest::protocEncode(QStringLiteral("Versions"), QByteArray(text), &bytes)) << text;
    return bytes;
}

const char kFullReply[] =
    "licenseAgreementId: 4 "
    "channels { name: \"stable\" version_number: 3100 version_string: \"3.1.0\" } "
    "channels { name: \"beta\" version_number: 3200 version_string: \"3.2.0-beta\" } "
    "channels { name: \"alpha\" version_number: 3300 version_string: \"3.3.0-alpha\" }";

// Points the process-wide versions URL at a test server for one test.
class VersionsUrlOverride
{
public:
    explicit VersionsUrlOverride(const QString& url) : saved(defaultVersionsUrl) { defaultVersionsUrl = url.toStdString(); }
    ~VersionsUrlOverride() { defaultVersionsUrl = saved; }
private:
    std::string saved;
};

struct QueryResult
{
    int emissions = 0;
    UpdateVersions table;
    bool checkerDeleted = false;
};

// Runs one query against `url` and waits for the checker to delete itself.
QueryResult runQuery(const QString& url)
{
    VersionsUrlOverride urlOverride(url);
    QPointer<UpdateChecker> checker = new UpdateChecker(nullptr);
    QSignalSpy spy(checker.data(), &UpdateChecker::update_available);
    checker->checkForUpdate();
    QueryResult result;
    result.checkerDeleted = vxtest::runUntil([&] { return checker.isNull(); }, 10000);
    vxtest::runFor(50); // a second emission would arrive here
    result.emissions = spy.count();
    if (!spy.isEmpty())
        result.table = spy.first().first().value<UpdateVersions>();
    return result;
}

} // namespace

TEST(HTTPDownloader, DeliversBodyOnceThenEndsThreadAndDeletesItself)
{
    struct Case { const char* label; int status; QByteArray reason; QByteArray body; bool refused; QByteArray expected; };
    const Case cases[] = {
        { "200 with body", 200, "OK", "payload", false, "payload" },
        { "202 counts as success", 202, "Accepted", "accepted body", false, "accepted body" },
        { "404 gives empty data", 404, "Not Found", "missing", false, "" },
        { "500 gives empty data", 500, "Internal Server Error", "oops", false, "" },
        { "200 with empty body", 200, "OK", "", false, "" },
        { "refused connection", 0, "", "", true, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LocalHttpServer server;
        ASSERT_TRUE(server.start());
        server.setReply(c.status, c.reason, c.body);
        const QString url = c.refused ? LocalHttpServer::refusingUrl(QStringLiteral("/file"))
                                      : server.url(QStringLiteral("/file"));
        QPointer<HTTPDownloader> downloader = new HTTPDownloader(QNetworkRequest(QUrl(url)));
        QSignalSpy data(downloader.data(), &HTTPDownloader::download_available);
        QSignalSpy threadFinished(downloader.data(), &QThread::finished);
        downloader->start();
        ASSERT_TRUE(vxtest::runUntil([&] { return downloader.isNull(); }, 10000));
        vxtest::runFor(20);
        EXPECT_EQ(threadFinished.count(), 1);
        ASSERT_EQ(data.count(), 1);
        EXPECT_EQ(data.first().first().toByteArray(), c.expected);
        EXPECT_EQ(server.requestCount(), c.refused ? 0 : 1);
    }
}

TEST(UpdateChecker, GoodReplyGivesTableOnceAndCheckerDeletesItself)
{
    LocalHttpServer server;
    ASSERT_TRUE(server.start());
    server.setReply(200, "OK", encodeVersions(kFullReply));
    const QueryResult result = runQuery(server.url(QStringLiteral("/vx3-client-2")));
    EXPECT_TRUE(result.checkerDeleted);
    EXPECT_EQ(result.emissions, 1);
    EXPECT_EQ(server.lastRequestLine(), "GET /vx3-client-2 HTTP/1.1");
    ASSERT_EQ(result.table.size(), 3);
    EXPECT_EQ(result.table.value("stable"), qMakePair(QString("3100"), QString("3.1.0")));
    EXPECT_EQ(result.table.value("beta"), qMakePair(QString("3200"), QString("3.2.0-beta")));
    EXPECT_EQ(result.table.value("alpha"), qMakePair(QString("3300"), QString("3.3.0-alpha")));
}

TEST(UpdateChecker, FailedQueriesGiveOneEmptyTable)
{
    struct Case { const char* label; int status; QByteArray reason; QByteArray body; bool refused; };
    const QByteArray good = encodeVersions(kFullReply);
    const Case cases[] = {
        { "error status with a valid body", 404, "Not Found", good, false },
        { "server error", 503, "Service Unavailable", good, false },
        { "refused connection", 0, "", "", true },
        { "empty body", 200, "OK", "", false },
        { "not a Versions message", 200, "OK", "<html>hello</html>", false },
        { "truncated message", 200, "OK", good.left(good.size() - 3), false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        LocalHttpServer server;
        ASSERT_TRUE(server.start());
        server.setReply(c.status, c.reason, c.body);
        const QString path = QStringLiteral("/vx3-client-2");
        const QueryResult result = runQuery(c.refused ? LocalHttpServer::refusingUrl(path) : server.url(path));
        EXPECT_TRUE(result.checkerDeleted);
        EXPECT_EQ(result.emissions, 1);
        EXPECT_TRUE(result.table.isEmpty());
    }
}

TEST(UpdateChecker, ShowsNegativeNumberUnsignedAndKeepsFirstDuplicate)
{
    LocalHttpServer server;
    ASSERT_TRUE(server.start());
    server.setReply(200, "OK", encodeVersions(
        "licenseAgreementId: 1 "
        "channels { name: \"stable\" version_number: -5 version_string: \"neg\" } "
        "channels { name: \"beta\" version_number: 7 version_string: \"first\" } "
        "channels { name: \"beta\" version_number: 8 version_string: \"second\" } "
        "channels { name: \"Stable\" version_number: 9 version_string: \"upper\" }"));
    const QueryResult result = runQuery(server.url(QStringLiteral("/vx3-client-2")));
    ASSERT_EQ(result.emissions, 1);
    EXPECT_EQ(result.table.size(), 3);
    EXPECT_EQ(result.table.value("stable").first, QString("4294967291"));
    EXPECT_EQ(result.table.value("beta"), qMakePair(QString("7"), QString("first")));
    EXPECT_EQ(UpdateChecker::versionForChannel(result.table, 0).second, QString("neg"));
}

// Shortens the query's limits for one test.
class QueryLimits
{
public:
    QueryLimits(int timeoutMsecs, qint64 maximumSize) { HTTPDownloader::setLimits(timeoutMsecs, maximumSize); }
    ~QueryLimits()
    {
        HTTPDownloader::setLimits(HTTPDownloader::kDefaultTimeoutMsecs, HTTPDownloader::kDefaultMaximumSize);
    }
};

// The answer is hostile until parsed: asked for unencoded, refused when encoded, when larger than
// the limit or when not complete in time. Each ends as a failed query (one empty table), soon.
TEST(UpdateChecker, HostileRepliesEndAsFailedQueriesWithinTheLimits)
{
    const int timeout = 1500;
    const qint64 maximum = 4096;
    QueryLimits limits(timeout, maximum);
    QTemporaryDir root;
    vxtest::FaultServer server(root.path());
    ASSERT_TRUE(server.start());
    const QByteArray good = encodeVersions(kFullReply);
    const QByteArray large = encodeVersions(
        QByteArray("licenseAgreementId: 4 channels { name: \"stable\" version_number: 1 version_string: \"")
        + QByteArray(int(maximum), 'x') + "\" }");
    const auto withVersionText = [](int length) {
        return encodeVersions(QByteArray(kFullReply).replace("3.1.0", QByteArray(length, 'v')).constData());
    };
    struct Case { const char* label; QByteArray body; QString steps; bool answered; bool timesOut; };
    const Case cases[] = {
        { "within the limits", withVersionText(256), "[{}]", true, false },
        // Bounded where a channel's entry is used.
        { "version text over 256 characters", withVersionText(257), "[{}]", true, false },
        { "gzip encoded", vxtest::gzipped(good), R"([{"headers": {"Content-Encoding": "gzip"}}])", false, false },
        { "announced length over the limit", large, "[{}]", false, false },
        { "unannounced length over the limit", large, R"([{"length": false}])", false, false },
        { "endless body", good, R"([{"length": false, "endless": true}])", false, false },
        { "no answer", good, R"([{"then": "silent"}])", false, true },
        { "stops sending", good, R"([{"send": 10, "then": "stall"}])", false, true },
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const QString path = QString("/vx3-client-2-%1").arg(++n);
        ASSERT_TRUE(vxtest::writeFile(root.path() + path, c.body));
        ASSERT_TRUE(server.script(path, c.steps));
        QElapsedTimer clock;
        clock.start();
        const QueryResult result = runQuery(server.baseUrl() + path.mid(1));
        EXPECT_TRUE(result.checkerDeleted);
        EXPECT_EQ(result.emissions, 1);
        EXPECT_EQ(result.table.size(), c.answered ? 3 : 0);
        EXPECT_EQ(server.requestHeader(path, "Accept-Encoding"), "identity");
        if (c.timesOut)
            EXPECT_GE(clock.elapsed(), timeout);
        else
            EXPECT_LT(clock.elapsed(), timeout);
    }
}

TEST(UpdateChecker, VersionForChannelMapsNumbersToKeysCaseSensitively)
{
    UpdateVersions table;
    table.insert("stable", qMakePair(QString("1"), QString("s")));
    table.insert("Beta", qMakePair(QString("2"), QString("B")));
    table.insert("alpha", qMakePair(QString("3"), QString("a")));
    struct Case { int channel; QString number; };
    const Case cases[] = { { 0, "1" }, { 1, QString() }, { 2, "3" }, { 3, QString() }, { -1, QString() } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        const QPair<QString, QString> pair = UpdateChecker::versionForChannel(table, c.channel);
        EXPECT_EQ(pair.first, c.number);
        EXPECT_EQ(pair.first.isNull(), c.number.isNull());
        EXPECT_EQ(pair.second.isNull(), c.number.isNull());
    }
}
