#include "composedtaskspecification.h"
#include "downloadfixture.h"
#include "downloadtaskspecification.h"
#include "httpservers.h"

#include <QNetworkAccessManager>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using dltest::pattern;
using dltest::texts;

namespace {

const int kVersion = 7;

class DownloadTask : public dltest::ServedRootTest
{
protected:
    void SetUp() override { ASSERT_TRUE(work.isValid()); }

    // Publishes `data` as version/path on both servers' shared root.
    static void publish(const QString& path, const QByteArray& data)
    {
        ASSERT_TRUE(dltest::publish(root->path(), QString::number(kVersion) + "/" + path, data));
    }

    static QString serverPath(const QString& path)
    {
        return "/" + QString::number(kVersion) + "/" + path;
    }

    std::unique_ptr<DownloadTaskSpecification> makeTask(const QString& base, const QString& path,
                                                        qint64 expectedSize, qreal weight = 1.0)
    {
        Configuration::updateBaseUrl = base;
        return std::make_unique<DownloadTaskSpecification>(&nam, path, kVersion, local(path),
                                                           expectedSize, nullptr, weight);
    }

    QString local(const QString& path) const { return work.path() + "/" + QFileInfo(path).fileName(); }

    // Polls the task's figures the given number of times in a row, without running events.
    static bool pollTimes(DownloadTaskSpecification& task, int times)
    {
        bool downloading = false;
        for (int i = 0; i < times; ++i) {
            quint64 done = 0, total = 0, speed = 0;
            downloading = false;
            task.getDownloadStats(done, total, speed, downloading);
        }
        return downloading;
    }

    static quint64 doneOf(DownloadTaskSpecification& task)
    {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.getDownloadStats(done, total, speed, downloading);
        return done;
    }

    QTemporaryDir work;
    QNetworkAccessManager nam;
};

TEST_F(DownloadTask, FetchesFileWithAndWithoutKnownSize)
{
    const QByteArray data = pattern(300000, 1);
    publish("client/a.bin", data);
    const QByteArray empty;
    publish("client/empty.bin", empty);

    struct Case {
        const char* name;
        QString path;
        qint64 expected;
        qint64 reportedTotal;
    };
    const Case cases[] = {
        {"size given", "client/a.bin", data.size(), data.size()},
        {"size from server", "client/a.bin", -1, data.size()},
        {"size 0 is not known and not replaced", "client/a.bin", 0, 0},
        {"empty file", "client/empty.bin", 0, 0},
        {"empty file, no size", "client/empty.bin", -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto task = makeTask(nginx->baseUrl(), c.path, c.expected, 0.5);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy progress(task.get(), &TaskSpecification::updateProgress);
        task->execute();
        EXPECT_EQ(task->getState(), TaskSpecification::TASK_RUNNING);
        ASSERT_TRUE(dltest::waitEnded(*task));

        EXPECT_EQ(task->getState(), TaskSpecification::TASK_FINISHED);
        EXPECT_EQ(texts(messages), QStringList({"Downloading " + c.path,
                                                "Downloading " + c.path + " finished"}));
        const QByteArray expected = c.path.endsWith("empty.bin") ? empty : data;
        EXPECT_TRUE(QFileInfo::exists(local(c.path)));
        EXPECT_EQ(vxtest::readFile(local(c.path)), expected);
        EXPECT_DOUBLE_EQ(task->getProgress(), 0.5);
        for (const QList<QVariant>& p : progress)
            EXPECT_LE(p.at(0).toDouble(), 0.5);

        quint64 done = 0, total = 0, speed = 0;
        bool downloading = true;
        task->getDownloadStats(done, total, speed, downloading);
        EXPECT_EQ(done, quint64(expected.size()));
        EXPECT_EQ(total, quint64(c.reportedTotal));
        EXPECT_EQ(speed, quint64(expected.size()));
        EXPECT_TRUE(downloading) << "a finished task leaves the flag as passed in";
        task->getDownloadStats(done, total, speed, downloading = false);
        EXPECT_EQ(speed, 0u);
        EXPECT_FALSE(downloading);
        // A finished task never times out.
        EXPECT_FALSE(pollTimes(*task, 40));
        EXPECT_EQ(task->getState(), TaskSpecification::TASK_FINISHED);
        QFile::remove(local(c.path));
    }
}

// A body larger than the expected size (or the maximum, when no size is given) ends the attempt
// as soon as it is seen: nothing beyond the limit is written, whether the server announces the
// length, sends no length or never stops.
TEST_F(DownloadTask, BodyOverTheSizeLimitEndsEveryAttempt)
{
    const QByteArray data = pattern(300000, 11);
    publish("client/over.bin", data);
    publish("client/over42.bin", pattern(42, 12));
    publish("client/overmax.bin", pattern(42, 13));
    struct Case {
        const char* name;
        QString path;
        QString steps;
        qint64 expected;
        qint64 maximum;
    };
    const Case cases[] = {
        {"announced length over the size", "client/over.bin", R"([{}])", 1000, -1},
        {"size 0 listed with a maximum", "client/over.bin", R"([{}])", 0, 5000},
        {"unannounced length over the size", "client/over.bin", R"([{"length": false}])", 1000, -1},
        {"endless body", "client/over42.bin", R"([{"length": false, "endless": true}])", 42, -1},
        {"endless body, no size but a maximum", "client/overmax.bin",
         R"([{"length": false, "endless": true}])", -1, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(faults->script(serverPath(c.path), c.steps));
        const int before = faults->requests(serverPath(c.path));
        auto task = makeTask(faults->baseUrl(), c.path, c.expected);
        task->setMaximumSize(c.maximum);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        qint64 largest = 0;
        QObject::connect(task.get(), &TaskSpecification::updateProgress, [&] {
            largest = qMax(largest, QFileInfo(local(c.path)).size());
        });
        task->execute();
        ASSERT_TRUE(dltest::waitEnded(*task));

        EXPECT_EQ(task->getState(), TaskSpecification::TASK_FAILED);
        const QString reason = QString("file %1 is larger than %2 bytes")
                                   .arg(c.path).arg(c.expected > 0 ? c.expected : c.maximum);
        QStringList expected{"Downloading " + c.path};
        for (int i = 0; i < 5; ++i)
            expected << reason;
        expected << "Unable to download " + c.path;
        EXPECT_EQ(texts(messages), expected);
        EXPECT_LE(largest, qMax<qint64>(c.expected, c.maximum));
        EXPECT_FALSE(QFileInfo::exists(local(c.path)));
        // Qt may resend a request by itself when the connection breaks under it (seen under
        // load); the attempts are the task's own, the five messages above.
        EXPECT_GE(faults->requests(serverPath(c.path)) - before, 5);
    }
}

// The body is asked for as stored; an encoded one (which Qt would inflate without bound) is
// refused before a byte of it is written.
TEST_F(DownloadTask, EncodedBodyIsRefusedAndIdentityAsked)
{
    const QByteArray data = pattern(20000, 14);
    publish("client/enc.bin", data);
    struct Case {
        const char* name;
        QString path;
        QString encoding;
        bool refused;
    };
    const Case cases[] = {
        {"gzip", "client/enc.bin", "gzip", true},
        {"deflate", "client/enc.bin", "deflate", true},
        {"identity", "client/enc.bin", "identity", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(faults->script(
            serverPath(c.path), QString(R"([{"headers": {"Content-Encoding": "%1"}}])").arg(c.encoding)));
        auto task = makeTask(faults->baseUrl(), c.path, data.size());
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        task->execute();
        ASSERT_TRUE(dltest::waitEnded(*task));

        EXPECT_EQ(faults->requestHeader(serverPath(c.path), "Accept-Encoding"), "identity");
        if (!c.refused) {
            EXPECT_EQ(task->getState(), TaskSpecification::TASK_FINISHED);
            EXPECT_EQ(vxtest::readFile(local(c.path)), data);
            QFile::remove(local(c.path));
            continue;
        }
        EXPECT_EQ(task->getState(), TaskSpecification::TASK_FAILED);
        const QStringList log = texts(messages);
        ASSERT_EQ(log.size(), 7) << log.join('|').toStdString();
        EXPECT_EQ(log.at(1), c.path + " was sent with content encoding " + c.encoding);
        EXPECT_FALSE(QFileInfo::exists(local(c.path)));
    }
}

TEST_F(DownloadTask, ProgressStaysZeroWithoutAnySize)
{
    const QByteArray data = pattern(200000, 2);
    publish("client/nolength.bin", data);
    ASSERT_TRUE(faults->script(serverPath("client/nolength.bin"), R"([{"length": false}])"));
    auto task = makeTask(faults->baseUrl(), "client/nolength.bin", -1);
    QSignalSpy progress(task.get(), &TaskSpecification::updateProgress);
    task->execute();
    ASSERT_TRUE(dltest::waitEnded(*task));
    EXPECT_EQ(task->getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(vxtest::readFile(local("client/nolength.bin")), data);
    ASSERT_FALSE(progress.isEmpty());
    for (int i = 0; i + 1 < progress.size(); ++i)
        EXPECT_EQ(progress.at(i).at(0).toDouble(), 0.0);
    EXPECT_EQ(progress.last().at(0).toDouble(), 1.0);
}

TEST_F(DownloadTask, RefusedStatusRestartsFourTimesThenFails)
{
    publish("client/target.bin", pattern(1000, 3));
    struct Case {
        const char* name;
        QString path;
        QString steps;
        QString reason;
    };
    const QString location = faults->baseUrl() + "7/client/target.bin";
    const Case cases[] = {
        {"404", "client/missing.bin", R"([{}])", "client/missing.bin returned 404"},
        {"302 is not followed", "client/moved.bin",
         QString(R"([{"status": 302, "location": "%1"}])").arg(location),
         "client/moved.bin returned 302"},
        {"500", "client/broken.bin", R"([{"status": 500}])", "client/broken.bin returned 500"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(faults->script(serverPath(c.path), c.steps));
        auto task = makeTask(faults->baseUrl(), c.path, -1);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy errors(task.get(), &TaskSpecification::error);
        task->execute();
        ASSERT_TRUE(dltest::waitEnded(*task));

        EXPECT_EQ(task->getState(), TaskSpecification::TASK_FAILED);
        QStringList expected{"Downloading " + c.path};
        for (int i = 0; i < 5; ++i)
            expected << c.reason;
        expected << "Unable to download " + c.path;
        EXPECT_EQ(texts(messages), expected);
        EXPECT_TRUE(errors.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(local(c.path)));
        EXPECT_EQ(faults->requests(serverPath(c.path)), 5);
    }
    EXPECT_EQ(faults->requests(serverPath("client/target.bin")), 0);
}

TEST_F(DownloadTask, StalledAttemptEndsOnSixteenthPoll)
{
    const QByteArray data = pattern(50000, 4);
    publish("client/stall.bin", data);
    struct Case {
        const char* name;
        QString path;
        QString steps;
        quint64 bytesBeforeStall;
        // A byte at a time: data keeps coming, far below the lowest rate.
        bool trickles;
    };
    const Case cases[] = {
        {"no answer at all", "client/silent.bin", R"([{"then": "silent"}])", 0, false},
        {"stops sending", "client/stall.bin", R"([{"send": 20000, "then": "stall"}])", 20000, false},
        {"trickles", "client/trickle.bin", R"([{"piece": 1, "delay": 0.02}])", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.bytesBeforeStall == 0)
            publish(c.path, data);
        ASSERT_TRUE(faults->script(serverPath(c.path), c.steps));
        auto task = makeTask(faults->baseUrl(), c.path, data.size());
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        task->execute();
        // Polls in a row; with a trickle each one after more data has come in.
        const auto poll = [&](int times) {
            bool downloading = false;
            for (int i = 0; i < times; ++i) {
                const qint64 had = QFileInfo(local(c.path)).size();
                EXPECT_TRUE(!c.trickles || vxtest::runUntil([&] { return QFileInfo(local(c.path)).size() > had; }));
                downloading = pollTimes(*task, 1);
            }
            return downloading;
        };
        for (int attempt = 1; attempt <= 5; ++attempt) {
            SCOPED_TRACE(attempt);
            ASSERT_TRUE(vxtest::runUntil([&] { return faults->active() == 1; }));
            if (c.bytesBeforeStall > 0) {
                ASSERT_TRUE(vxtest::runUntil([&] {
                    return QFileInfo(local(c.path)).size() == qint64(c.bytesBeforeStall);
                }));
            }
            vxtest::runFor(50);
            // Fifteen polls without data (or with too little) keep the attempt going.
            EXPECT_TRUE(poll(15)) << texts(messages).join('|').toStdString();
            EXPECT_EQ(faults->requests(serverPath(c.path)), attempt);
            EXPECT_EQ(messages.count(), attempt);
            // The sixteenth ends it.
            EXPECT_FALSE(poll(1));
            ASSERT_EQ(messages.count(), attempt + 1 + (attempt == 5 ? 1 : 0));
            EXPECT_EQ(texts(messages).at(attempt), "file " + c.path + " timed out");
            if (attempt < 5) {
                EXPECT_EQ(task->getState(), TaskSpecification::TASK_RUNNING);
                EXPECT_FALSE(QFileInfo::exists(local(c.path)) && QFileInfo(local(c.path)).size() > 0)
                    << "the next attempt starts from byte 0";
                ASSERT_TRUE(vxtest::runUntil([&] { return faults->requests(serverPath(c.path)) == attempt + 1; }));
            }
        }
        EXPECT_EQ(task->getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(texts(messages).last(), "Unable to download " + c.path);
        EXPECT_FALSE(QFileInfo::exists(local(c.path)));
        ASSERT_TRUE(vxtest::runUntil([&] { return faults->active() == 0; }))
            << "the stalled connection is closed";
    }
}

TEST_F(DownloadTask, CutOffTransferRestartsFromByteZero)
{
    const QByteArray data = pattern(400000, 5);
    struct Cut {
        int bytes;
        const char* how; // "close" or "reset"
    };
    struct Case {
        const char* name;
        QString path;
        QList<Cut> cuts; // one per failed attempt; the last repeats unless the file then comes whole
        bool endsWhole;
    };
    const Case cases[] = {
        {"truncated once", "client/cut.bin", {{150000, "close"}}, true},
        {"reset once", "client/reset.bin", {{150000, "reset"}}, true},
        {"twice, then whole", "client/twice.bin", {{1000, "reset"}, {300000, "close"}}, true},
        {"cut off every time", "client/always.bin", {{100000, "close"}}, false},
        {"reset every time", "client/alwaysreset.bin", {{1000, "reset"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        publish(c.path, data);
        // Each cut waits until this side has stored the bytes sent before it, so that the client
        // has read the answer's head and cannot quietly resend the request.
        QStringList steps;
        for (const Cut& cut : c.cuts)
            steps << QString(R"({"send": %1, "then": "hold", "after": "%2"})").arg(cut.bytes).arg(cut.how);
        if (c.endsWhole)
            steps << "{}";
        ASSERT_TRUE(faults->script(serverPath(c.path), "[" + steps.join(',') + "]"));
        auto task = makeTask(faults->baseUrl(), c.path, data.size());
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        task->execute();
        const int failures = c.endsWhole ? c.cuts.size() : 5;
        for (int a = 0; a < failures; ++a) {
            SCOPED_TRACE(a);
            const int bytes = c.cuts.at(qMin(a, c.cuts.size() - 1)).bytes;
            ASSERT_TRUE(vxtest::runUntil([&] { return QFileInfo(local(c.path)).size() == bytes; }));
            ASSERT_TRUE(faults->release(serverPath(c.path)));
            ASSERT_TRUE(vxtest::runUntil([&] { return messages.count() >= 2 + a; }));
        }
        ASSERT_TRUE(dltest::waitEnded(*task));

        // Qt may still resend a broken request once by itself; the attempts are the task's own.
        EXPECT_GE(faults->requests(serverPath(c.path)), c.endsWhole ? failures + 1 : failures);
        const QStringList log = texts(messages);
        if (c.endsWhole) {
            EXPECT_EQ(task->getState(), TaskSpecification::TASK_FINISHED);
            EXPECT_EQ(vxtest::readFile(local(c.path)), data);
            EXPECT_EQ(doneOf(*task), quint64(data.size()));
            // The opening line, one reason per failed attempt, the closing line.
            EXPECT_EQ(log.size(), 1 + failures + 1) << log.join('|').toStdString();
        } else {
            EXPECT_EQ(task->getState(), TaskSpecification::TASK_FAILED);
            EXPECT_FALSE(QFileInfo::exists(local(c.path)));
            EXPECT_EQ(log.size(), 1 + 5 + 1) << log.join('|').toStdString();
            EXPECT_EQ(log.last(), "Unable to download " + c.path);
        }
        for (int i = 1; i <= failures && i < log.size(); ++i)
            EXPECT_FALSE(log.at(i).isEmpty());
    }
}

TEST_F(DownloadTask, ConnectionRefusedFailsAfterRestarts)
{
    const quint16 closedPort = vxtest::freeLoopbackPort();
    auto task = makeTask(QString("http://127.0.0.1:%1/").arg(closedPort), "client/a.bin", -1);
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    task->execute();
    ASSERT_TRUE(dltest::waitEnded(*task));
    EXPECT_EQ(task->getState(), TaskSpecification::TASK_FAILED);
    const QStringList log = texts(messages);
    ASSERT_EQ(log.size(), 7);
    EXPECT_TRUE(log.at(1).contains("refused", Qt::CaseInsensitive)) << log.at(1).toStdString();
    EXPECT_EQ(log.last(), "Unable to download client/a.bin");
    EXPECT_FALSE(QFileInfo::exists(local("client/a.bin")));
}

TEST_F(DownloadTask, CancelDuringTransferRemovesPartialFile)
{
    const QByteArray data = pattern(100000, 6);
    publish("client/held.bin", data);
    ASSERT_TRUE(faults->script(serverPath("client/held.bin"), R"([{"send": 30000, "then": "hold"}])"));
    auto task = makeTask(faults->baseUrl(), "client/held.bin", data.size());
    task->execute();
    ASSERT_TRUE(vxtest::runUntil([&] { return QFileInfo(local("client/held.bin")).size() == 30000; }));
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    QSignalSpy errors(task.get(), &TaskSpecification::error);
    QSignalSpy ended(task.get(), &TaskSpecification::canceled);
    task->cancel();

    EXPECT_EQ(task->getState(), TaskSpecification::TASK_CANCELED);
    EXPECT_EQ(ended.count(), 1);
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(local("client/held.bin")));
    EXPECT_EQ(doneOf(*task), 0u);
    EXPECT_EQ(task->getProgress(), 0.0);
    ASSERT_TRUE(vxtest::runUntil([&] { return faults->active() == 0; }));
    vxtest::runFor(50);
    EXPECT_EQ(task->getState(), TaskSpecification::TASK_CANCELED);
    EXPECT_EQ(faults->requests(serverPath("client/held.bin")), 1);

    // A task that is not running only records the request.
    auto idle = makeTask(faults->baseUrl(), "client/other.bin", -1);
    idle->cancel();
    EXPECT_EQ(idle->getState(), TaskSpecification::TASK_IDLE);
    EXPECT_TRUE(idle->isCancelRequested());
}

// Two downloads side by side under one parent, as a download list runs them.
class Pair : public ComposedTaskSpecification
{
public:
    Pair(DownloadTaskSpecification* a, DownloadTaskSpecification* b)
        : ComposedTaskSpecification(2, 1.0, nullptr)
    {
        a->setParent(this);
        b->setParent(this);
        addTask(a);
        addTask(b);
    }
    void execute() override { startTasks(); }
};

TEST_F(DownloadTask, SiblingFailureAbortsTransfer)
{
    const QByteArray data = pattern(100000, 7);
    publish("client/slow.bin", data);
    ASSERT_TRUE(faults->script(serverPath("client/slow.bin"), R"([{"send": 20000, "then": "hold"}])"));
    ASSERT_TRUE(faults->script(serverPath("client/gone.bin"), R"([{"status": 404}])"));
    Configuration::updateBaseUrl = faults->baseUrl();
    auto* slow = new DownloadTaskSpecification(&nam, "client/slow.bin", kVersion,
                                               local("client/slow.bin"), -1, nullptr, 0.5);
    auto* gone = new DownloadTaskSpecification(&nam, "client/gone.bin", kVersion,
                                               local("client/gone.bin"), -1, nullptr, 0.5);
    Pair pair(slow, gone);
    QSignalSpy slowMessages(slow, &TaskSpecification::message);
    QSignalSpy messages(&pair, &TaskSpecification::message);
    pair.execute();
    ASSERT_TRUE(dltest::waitEnded(pair));

    EXPECT_EQ(pair.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(gone->getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(slow->getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(texts(slowMessages).last(), "Abort downloading client/slow.bin");
    EXPECT_TRUE(texts(messages).contains("Unable to download client/gone.bin"));
    EXPECT_FALSE(QFileInfo::exists(local("client/slow.bin")));
    EXPECT_FALSE(QFileInfo::exists(local("client/gone.bin")));
    EXPECT_EQ(faults->requests(serverPath("client/slow.bin")), 1);
}

TEST_F(DownloadTask, UncreatableLocalFileFailsWithoutRequest)
{
    Configuration::updateBaseUrl = nginx->baseUrl();
    DownloadTaskSpecification task(&nam, "client/nodir.bin", kVersion,
                                   work.path() + "/no/such/dir/nodir.bin", -1, nullptr, 1.0);
    QSignalSpy errors(&task, &TaskSpecification::error);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).toString(),
              "Unable to create file " + work.path() + "/no/such/dir/nodir.bin for saving");
    EXPECT_EQ(texts(messages), QStringList{"Downloading client/nodir.bin"});
}

TEST_F(DownloadTask, MissingNetworkManagerFailsToInitialize)
{
    Configuration::updateBaseUrl = nginx->baseUrl();
    DownloadTaskSpecification task(nullptr, "client/a.bin", kVersion, local("client/a.bin"), -1,
                                   nullptr, 1.0);
    QSignalSpy errors(&task, &TaskSpecification::error);
    task.execute();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    ASSERT_EQ(errors.count(), 1);
    EXPECT_EQ(errors.at(0).at(0).toString(), "Download failed to initialize");
    EXPECT_FALSE(QFileInfo::exists(local("client/a.bin")));
}

// Lowers the largest file this process may write, so that writes fail as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_OldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_Old);
        rlimit lowered = m_Old;
        lowered.rlim_cur = bytes;
        m_Ok = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_Old);
        std::signal(SIGXFSZ, m_OldHandler);
    }
    bool ok() const { return m_Ok; }

private:
    rlimit m_Old{};
    void (*m_OldHandler)(int) = nullptr;
    bool m_Ok = false;
};

TEST_F(DownloadTask, WriteFailureFailsAndLeavesNoFile)
{
    const QByteArray data = pattern(200000, 8);
    publish("client/big.bin", data);
    auto task = makeTask(nginx->baseUrl(), "client/big.bin", data.size());
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    {
        FileSizeLimit limit(10000);
        ASSERT_TRUE(limit.ok());
        task->execute();
        ASSERT_TRUE(dltest::waitEnded(*task));
    }
    EXPECT_EQ(task->getState(), TaskSpecification::TASK_FAILED);
    const QStringList log = texts(messages);
    ASSERT_EQ(log.size(), 7) << log.join('|').toStdString();
    for (int i = 1; i <= 5; ++i)
        EXPECT_EQ(log.at(i), "File too large");
    EXPECT_EQ(log.last(), "Unable to download client/big.bin");
    EXPECT_FALSE(QFileInfo::exists(local("client/big.bin")));
}

TEST_F(DownloadTask, FileRemovedDuringTransferIsNotReportedDownloaded)
{
    const QByteArray data = pattern(100000, 9);
    publish("client/vanish.bin", data);
    ASSERT_TRUE(faults->script(serverPath("client/vanish.bin"),
                               R"([{"send": 20000, "then": "hold"}, {}])"));
    auto task = makeTask(faults->baseUrl(), "client/vanish.bin", data.size());
    QSignalSpy messages(task.get(), &TaskSpecification::message);
    task->execute();
    ASSERT_TRUE(vxtest::runUntil([&] { return QFileInfo(local("client/vanish.bin")).size() == 20000; }));
    ASSERT_TRUE(QFile::remove(local("client/vanish.bin")));
    ASSERT_TRUE(faults->release(serverPath("client/vanish.bin")));
    ASSERT_TRUE(dltest::waitEnded(*task));

    EXPECT_EQ(task->getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(faults->requests(serverPath("client/vanish.bin")), 2);
    EXPECT_TRUE(texts(messages).contains("Downloaded file " + local("client/vanish.bin") + " is missing"));
    EXPECT_EQ(vxtest::readFile(local("client/vanish.bin")), data);
}

TEST_F(DownloadTask, ResetAllowsAFreshRun)
{
    const QByteArray data = pattern(5000, 10);
    ASSERT_TRUE(faults->script(serverPath("client/later.bin"), R"([{"status": 404}])"));
    auto task = makeTask(faults->baseUrl(), "client/later.bin", -1);
    task->execute();
    ASSERT_TRUE(dltest::waitEnded(*task));
    ASSERT_EQ(task->getState(), TaskSpecification::TASK_FAILED);

    // The server counts on across runs: four more refusals, then the whole file.
    publish("client/later.bin", data);
    QString steps = "[";
    for (int i = 0; i < 5; ++i)
        steps += R"({"status": 404}, )";
    for (int i = 0; i < 4; ++i)
        steps += R"({"status": 500}, )";
    steps += "{}]";
    ASSERT_TRUE(faults->script(serverPath("client/later.bin"), steps));
    task->reset();
    EXPECT_EQ(task->getState(), TaskSpecification::TASK_IDLE);
    task->execute();
    ASSERT_TRUE(dltest::waitEnded(*task));
    EXPECT_EQ(task->getState(), TaskSpecification::TASK_FINISHED) << "the restart count starts again";
    EXPECT_EQ(vxtest::readFile(local("client/later.bin")), data);
    EXPECT_EQ(faults->requests(serverPath("client/later.bin")), 10);
}

// Each path segment is percent-encoded on its own; the slashes between them stay.
TEST(DownloadUrl, EncodesEachSegmentOfThePublishedName)
{
    struct Case {
        const char* path;
        const char* encoded;
    };
    const Case cases[] = {
        {"client/sounds/ring.dat._lzma2_", "client/sounds/ring.dat._lzma2_"},
        {"client/a#b.txt", "client/a%23b.txt"},
        {"client/what?.txt", "client/what%3F.txt"},
        {"client/100%.txt", "client/100%25.txt"},
        {"client/with space/x~y-z_1.txt", "client/with%20space/x~y-z_1.txt"},
        {"client/caf\u00e9.txt", "client/caf%C3%A9.txt"},
        {"client/a+b;c=d&e", "client/a%2Bb%3Bc%3Dd%26e"},
    };
    const QString saved = Configuration::updateBaseUrl;
    Configuration::updateBaseUrl = "http://127.0.0.1:8080/images/";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(DownloadTaskSpecification::requestUrl(12, QString::fromUtf8(c.path)).toEncoded(),
                  QByteArray("http://127.0.0.1:8080/images/12/") + c.encoded);
    }
    Configuration::updateBaseUrl = saved;
}

} // namespace
