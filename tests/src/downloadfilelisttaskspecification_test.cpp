#include "cryptwrapper.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadfixture.h"
#include "httpservers.h"
#include "testpaths.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using dltest::pattern;
using dltest::texts;

namespace {

const int kVersion = 7;

// Watches every event of the application: the most file tasks of the list running at once, and
// how many had started each time a queued call reached the list.
class ListWatcher : public QObject
{
public:
    explicit ListWatcher(DownloadFileListTaskSpecification* list)
        : m_List(list)
    {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~ListWatcher() override { QCoreApplication::instance()->removeEventFilter(this); }

    int maxRunning = 0;
    QList<int> startedAtListCall;

    int count(int state) const
    {
        const QList<TaskSpecification*>& tasks = m_List->getTasks();
        return int(std::count_if(tasks.begin(), tasks.end(),
                                 [&](TaskSpecification* t) { return t->getState() == state; }));
    }
    int started() const { return m_List->getTasks().size() - count(TaskSpecification::TASK_IDLE); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        maxRunning = qMax(maxRunning, count(TaskSpecification::TASK_RUNNING));
        if (watched == m_List && event->type() == QEvent::MetaCall)
            startedAtListCall << started();
        return false;
    }

private:
    DownloadFileListTaskSpecification* m_List;
};

class DownloadList : public dltest::ServedRootTest
{
protected:
    static void SetUpTestSuite()
    {
        crypt_init();
        ServedRootTest::SetUpTestSuite();
    }

    void SetUp() override
    {
        ASSERT_TRUE(work.isValid());
        config.workDir = work.path();
        config.versionNumber = kVersion;
    }

    // Publishes data as section/name and returns its entry (with its true digest and size).
    static DownloadEntry publish(const QString& section, const QString& name, const QByteArray& data)
    {
        EXPECT_TRUE(dltest::publish(root->path(), QString("%1/%2/%3").arg(kVersion).arg(section, name), data));
        return DownloadEntry(section, name, vxtest::sha512Hex(data), quint64(data.size()));
    }

    static QString serverPath(const DownloadEntry& e)
    {
        return QString("/%1/%2/%3").arg(kVersion).arg(e.section, e.name);
    }

    std::unique_ptr<DownloadFileListTaskSpecification> makeList(const QString& base, int streams)
    {
        Configuration::updateBaseUrl = base;
        config.streams = streams;
        return std::make_unique<DownloadFileListTaskSpecification>(&entries, &nam, &config, nullptr, 0.4);
    }

    static QList<quint64> figures(TaskSpecification& task)
    {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.getDownloadStats(done, total, speed, downloading);
        return {done, total, speed, quint64(downloading)};
    }

    QTemporaryDir work;
    QNetworkAccessManager nam;
    Configuration config;
    QList<DownloadEntry> entries;
};

TEST_F(DownloadList, EmptyListSucceedsWithinExecute)
{
    auto list = makeList(nginx->baseUrl(), 6);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();
    EXPECT_EQ(list->getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(texts(messages), QStringList{"No downloads needed"});
    EXPECT_TRUE(dltest::filesIn(work.path()).isEmpty());
}

TEST_F(DownloadList, NamesEachDirectoryOnce)
{
    struct Case {
        const char* name;
        QStringList names;
        QStringList dirs;
    };
    const Case cases[] = {
        {"no directories", {"a.bin", "b.bin"}, {}},
        {"shared directory", {"a/b/x.bin", "a/b/y.bin", "z.bin", "c/w.bin", "a/b/q.bin"}, {"a/b", "c"}},
        {"parent after child", {"a/b/x.bin", "a/y.bin"}, {"a/b", "a"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QList<DownloadEntry> list;
        for (const QString& name : c.names)
            list << DownloadEntry("s", name, QString(), 1);
        EXPECT_EQ(DownloadFileListTaskSpecification::directoriesOf(list), c.dirs);
    }
}

TEST_F(DownloadList, FetchesEveryEntryIntoWorkDirectory)
{
    entries << publish("client", "lib/plugins/one.so", pattern(70000, 1))
            << publish("client", "lib/plugins/two.so", pattern(1, 2))
            << publish("client", "top.bin", pattern(250000, 3))
            << publish("other", "empty.dat", QByteArray())
            << publish("client", "lib/three.so", pattern(9000, 4));
    for (int streams : {1, 6}) {
        SCOPED_TRACE(streams);
        QDir(work.path()).removeRecursively();
        QDir().mkpath(work.path());
        auto list = makeList(nginx->baseUrl(), streams);
        QSignalSpy messages(list.get(), &TaskSpecification::message);
        list->execute();
        EXPECT_EQ(texts(messages).value(0), "Downloading files");
        ASSERT_TRUE(dltest::waitEnded(*list));

        EXPECT_EQ(list->getState(), TaskSpecification::TASK_FINISHED) << texts(messages).join('|').toStdString();
        EXPECT_DOUBLE_EQ(list->getProgress(), 0.4);
        for (const DownloadEntry& e : entries) {
            EXPECT_EQ(vxtest::readFile(work.path() + "/" + e.name),
                      vxtest::readFile(root->path() + serverPath(e)))
                << e.name.toStdString();
            EXPECT_TRUE(texts(messages).contains("Downloading " + e.section + "/" + e.name + " finished"));
        }
        EXPECT_EQ(dltest::filesIn(work.path()).size(), entries.size());
    }
}

TEST_F(DownloadList, ProgressSplitsEachFileBetweenDownloadAndCheck)
{
    entries << publish("pr", "one.bin", pattern(20000, 5)) << publish("pr", "two.bin", pattern(30000, 6));
    auto list = makeList(nginx->baseUrl(), 1);
    QSignalSpy progress(list.get(), &TaskSpecification::updateProgress);
    list->execute();
    ASSERT_TRUE(dltest::waitEnded(*list));
    ASSERT_EQ(list->getState(), TaskSpecification::TASK_FINISHED);
    QList<double> values;
    for (const QList<QVariant>& p : progress)
        values << p.at(0).toDouble();
    // Weight 0.4, two files: each download is worth 0.16 and each check 0.04.
    for (double step : {0.16, 0.2, 0.36, 0.4}) {
        EXPECT_TRUE(std::any_of(values.begin(), values.end(), [&](double v) { return qAbs(v - step) < 1e-9; }))
            << step;
    }
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
}

TEST_F(DownloadList, NeverRunsMoreThanStreamsAtOnce)
{
    const int n = 8;
    for (int i = 0; i < n; ++i) {
        entries << publish("held", QString("f%1.bin").arg(i), pattern(5000 + i, 10 + i));
        ASSERT_TRUE(faults->script(serverPath(entries.last()), R"([{"send": 1000, "then": "hold"}])"));
    }
    for (int streams : {1, 6}) {
        SCOPED_TRACE(streams);
        auto list = makeList(faults->baseUrl(), streams);
        ListWatcher watcher(list.get());
        ASSERT_TRUE(vxtest::runUntil([&] { return faults->active() == 0; }));
        ASSERT_TRUE(faults->resetMaxActive());
        list->execute();
        EXPECT_EQ(watcher.started(), 0) << "no file starts within execute";
        for (int i = 0; i < n; ++i) {
            const int expectActive = qMin(streams, n - i);
            ASSERT_TRUE(vxtest::runUntil([&] { return faults->active() == expectActive; }));
            vxtest::runFor(30);
            EXPECT_EQ(faults->active(), expectActive);
            EXPECT_EQ(watcher.count(TaskSpecification::TASK_RUNNING), expectActive);
            ASSERT_TRUE(faults->release(serverPath(entries.at(i))));
            ASSERT_TRUE(vxtest::runUntil([&] {
                return list->getTasks().at(i)->getState() == TaskSpecification::TASK_FINISHED;
            }));
        }
        ASSERT_TRUE(dltest::waitEnded(*list));
        EXPECT_EQ(list->getState(), TaskSpecification::TASK_FINISHED);
        EXPECT_EQ(watcher.maxRunning, streams);
        EXPECT_EQ(faults->maxActive(), streams);
        // The first files start one queued call apart: one more at each call.
        ASSERT_GE(watcher.startedAtListCall.size(), streams);
        for (int k = 0; k < streams; ++k)
            EXPECT_EQ(watcher.startedAtListCall.at(k), k);
        ASSERT_TRUE(vxtest::runUntil([&] { return faults->active() == 0; }));
    }
}

TEST_F(DownloadList, FiguresCountTotalFromStartAndOnlyKnownSizes)
{
    const QByteArray a = pattern(40000, 20), b = pattern(30000, 21), c = pattern(50000, 22);
    entries << publish("fig", "a.bin", a) << publish("fig", "b.bin", b) << publish("fig", "c.bin", c);
    entries[1].size = 0; // listed without a size: no total, and no limit
    ASSERT_TRUE(faults->script(serverPath(entries[0]), R"([{"send": 1000, "then": "hold"}])"));
    ASSERT_TRUE(faults->script(serverPath(entries[2]), R"([{"send": 3000, "then": "hold"}])"));
    auto list = makeList(faults->baseUrl(), 6);
    list->execute();
    EXPECT_EQ(figures(*list), (QList<quint64>{0, quint64(a.size() + c.size()), 0, 0}));

    ASSERT_TRUE(vxtest::runUntil([&] {
        return list->getTasks().at(1)->getState() == TaskSpecification::TASK_FINISHED
            && QFileInfo(work.path() + "/a.bin").size() == 1000
            && QFileInfo(work.path() + "/c.bin").size() == 3000;
    }));
    // b's bytes count towards the speed, never towards the bytes done.
    const QList<quint64> mid = figures(*list);
    EXPECT_EQ(mid.at(0), 4000u);
    EXPECT_EQ(mid.at(1), quint64(a.size() + c.size()));
    EXPECT_EQ(mid.at(2), quint64(1000 + 3000 + b.size()));
    EXPECT_EQ(mid.at(3), 1u);
    EXPECT_EQ(figures(*list).at(2), 0u) << "speed counts since the previous poll";

    ASSERT_TRUE(faults->release(serverPath(entries[0])));
    ASSERT_TRUE(faults->release(serverPath(entries[2])));
    ASSERT_TRUE(dltest::waitEnded(*list));
    EXPECT_EQ(list->getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(figures(*list), (QList<quint64>{quint64(a.size() + c.size()), quint64(a.size() + c.size()),
                                              quint64(a.size() + c.size() - 4000), 0}));
}

TEST_F(DownloadList, DigestMismatchFailsListAndKeepsFile)
{
    const QByteArray held = pattern(60000, 30);
    entries << publish("chk", "held.bin", held) << publish("chk", "bad.bin", pattern(2000, 31));
    entries[1].sha512 = vxtest::sha512Hex("something else");
    ASSERT_TRUE(faults->script(serverPath(entries[0]), R"([{"send": 1000, "then": "hold"}])"));
    auto list = makeList(faults->baseUrl(), 6);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();
    ASSERT_TRUE(dltest::waitEnded(*list));

    EXPECT_EQ(list->getState(), TaskSpecification::TASK_FAILED);
    const QStringList log = texts(messages);
    EXPECT_TRUE(log.contains("Signature check failed for " + work.path() + "/bad.bin"))
        << log.join('|').toStdString();
    EXPECT_TRUE(log.contains("Abort downloading chk/held.bin"));
    EXPECT_TRUE(QFileInfo::exists(work.path() + "/bad.bin")) << "the next run queues it again";
    EXPECT_FALSE(QFileInfo::exists(work.path() + "/held.bin"));
}

// A file listed without a digest is judged by a signature file beside it; failing that check
// fails the list just as a wrong digest does, so the file never goes on to be installed.
TEST_F(DownloadList, DigestInAnyCasePassesAndFailedSignatureFailsTheList)
{
    entries << publish("chk", "upper.bin", pattern(3000, 32)) << publish("chk", "unsigned.bin", pattern(10, 33));
    entries[0].sha512 = entries[0].sha512.toUpper();
    entries[1].sha512.clear(); // checked against unsigned.bin.sig, which is not there
    auto list = makeList(nginx->baseUrl(), 1);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();
    ASSERT_TRUE(dltest::waitEnded(*list));

    EXPECT_EQ(list->getState(), TaskSpecification::TASK_FAILED);
    const QStringList log = texts(messages);
    EXPECT_FALSE(log.contains("Signature check failed for " + work.path() + "/upper.bin"));
    EXPECT_TRUE(log.contains("Signature check failed for " + work.path() + "/unsigned.bin"))
        << log.join('|').toStdString();
}

TEST_F(DownloadList, FailedDownloadAbortsRunningAndSkipsPending)
{
    entries << publish("ab", "held.bin", pattern(50000, 40));
    entries << DownloadEntry("ab", "gone.bin", vxtest::sha512Hex("x"), 1);
    entries << publish("ab", "later.bin", pattern(100, 41));
    ASSERT_TRUE(faults->script(serverPath(entries[0]), R"([{"send": 5000, "then": "hold"}])"));
    auto list = makeList(faults->baseUrl(), 2);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();
    ASSERT_TRUE(dltest::waitEnded(*list));

    EXPECT_EQ(list->getState(), TaskSpecification::TASK_FAILED);
    const QStringList log = texts(messages);
    EXPECT_TRUE(log.contains("Unable to download ab/gone.bin")) << log.join('|').toStdString();
    EXPECT_EQ(log.last(), "Abort downloading ab/held.bin");
    EXPECT_EQ(list->getTasks().at(2)->getState(), TaskSpecification::TASK_IDLE);
    EXPECT_EQ(faults->requests(serverPath(entries[2])), 0);
    EXPECT_TRUE(dltest::filesIn(work.path()).isEmpty()) << dltest::filesIn(work.path()).join(' ').toStdString();
}

TEST_F(DownloadList, CancelDuringTransfersEndsListFailed)
{
    entries << publish("cx", "one.bin", pattern(40000, 50)) << publish("cx", "two.bin", pattern(40000, 51));
    for (const DownloadEntry& e : entries)
        ASSERT_TRUE(faults->script(serverPath(e), R"([{"send": 2000, "then": "hold"}])"));
    auto list = makeList(faults->baseUrl(), 6);
    list->execute();
    ASSERT_TRUE(vxtest::runUntil([&] {
        return QFileInfo(work.path() + "/one.bin").size() == 2000
            && QFileInfo(work.path() + "/two.bin").size() == 2000;
    }));
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->cancel();
    ASSERT_TRUE(dltest::waitEnded(*list));

    EXPECT_EQ(list->getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(texts(messages), QStringList{"Abort downloading cx/two.bin"});
    EXPECT_EQ(list->getTasks().at(0)->getState(), TaskSpecification::TASK_CANCELED);
    EXPECT_EQ(list->getTasks().at(1)->getState(), TaskSpecification::TASK_FAILED);
    EXPECT_TRUE(dltest::filesIn(work.path()).isEmpty());
}

TEST_F(DownloadList, UncreatableDirectoryFailsBeforeAnyRequest)
{
    ASSERT_TRUE(vxtest::writeFile(work.path() + "/a", "in the way"));
    entries << publish("dir", "ok.bin", pattern(10, 60)) << publish("dir", "a/b/x.bin", pattern(10, 61));
    auto list = makeList(faults->baseUrl(), 6);
    QSignalSpy messages(list.get(), &TaskSpecification::message);
    list->execute();

    EXPECT_EQ(list->getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(texts(messages),
              QStringList{"Could not create dir " + QDir(work.path()).canonicalPath() + "/a/b"});
    vxtest::runFor(50);
    EXPECT_EQ(faults->requests(serverPath(entries[0])), 0);
    EXPECT_EQ(faults->requests(serverPath(entries[1])), 0);
}

TEST_F(DownloadList, ResetListRunsAgain)
{
    entries << publish("rs", "a.bin", pattern(1000, 70)) << DownloadEntry("rs", "missing.bin", "00", 5);
    auto list = makeList(nginx->baseUrl(), 6);
    list->execute();
    ASSERT_TRUE(dltest::waitEnded(*list));
    ASSERT_EQ(list->getState(), TaskSpecification::TASK_FAILED);
    list->reset();
    EXPECT_EQ(list->getState(), TaskSpecification::TASK_IDLE);
    EXPECT_TRUE(list->getTasks().isEmpty());

    entries.removeLast();
    list->execute();
    ASSERT_TRUE(dltest::waitEnded(*list));
    ASSERT_EQ(list->getState(), TaskSpecification::TASK_FINISHED);
    list->reset();
    EXPECT_TRUE(list->getTasks().isEmpty());
    EXPECT_EQ(figures(*list).at(1), 0u);
    QFile::remove(work.path() + "/a.bin");
    list->execute();
    ASSERT_TRUE(dltest::waitEnded(*list));
    EXPECT_EQ(list->getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(figures(*list).at(1), 1000u);
    EXPECT_TRUE(QFileInfo::exists(work.path() + "/a.bin"));
}

} // namespace
