#include "configuration.h"
#include "enginetestutil.h"
#include "ensemblewriter.h"
#include "eventloop.h"
#include "httpservers.h"
#include "inidownloadtaskspecification.h"
#include "initestutil.h"
#include "otheruser.h"
#include "testpaths.h"
#include "trustedfolder.h"
#include "updateengine.h"
#include "updateinidata.h"
#include "workfolderlock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using enginetest::put;
using enginetest::sha512Hex;
using enginetest::texts;

namespace {

const char kUserAborted[] = "User aborted update";

// Bytes that do not compress, so that a packed file is as large as its content.
QByteArray noise(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

// Writes the application directory's update.ini from scratch (an empty text removes it).
void writeAppIni(const QByteArray& text)
{
    QFile::remove(UpdateIniData::updateIniPath());
    if (!text.isEmpty()) {
        ASSERT_TRUE(vxtest::writeIni(UpdateIniData::updateIniPath(), text));
    }
}

// Every test starts without update.ini and with a temporary directory of its own as the system's.
class EngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", tmp.path().toUtf8());
        writeAppIni({});
        config.clientType = Configuration::defaultClientType(false);
        config.versionNumber = 40;
    }

    void TearDown() override
    {
        engine.reset();
        vxtest::drainEvents();
        QFile::remove(UpdateIniData::updateIniPath());
        qputenv("TMPDIR", oldTmp);
    }

    void makeEngine()
    {
        engine.reset(new UpdateEngine(&config, nullptr));
        messages.reset(new QSignalSpy(engine.get(), &UpdateEngine::message));
        errors.reset(new QSignalSpy(engine.get(), &UpdateEngine::error));
        fatal.reset(new QSignalSpy(engine.get(), &UpdateEngine::fatalError));
    }

    QString sessionDir(int n = 0) const { return tmp.path() + "/voxmere_temp_" + QString::number(n); }

    QTemporaryDir tmp;
    QByteArray oldTmp;
    Configuration config;
    std::unique_ptr<UpdateEngine> engine;
    std::unique_ptr<QSignalSpy> messages;
    std::unique_ptr<QSignalSpy> errors;
    std::unique_ptr<QSignalSpy> fatal;
};

TEST(UpdateEngineStatics, RemoveOldFilesTakesOnlyTheOldCopies)
{
    QTemporaryDir dir;
    for (const char* name : {"_old_update", "_old_libqgif.so", "update", "libqgif.so", "_old_other"})
        ASSERT_TRUE(put(dir.filePath(name), "x"));
    UpdateEngine::removeOldFiles(dir.path());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files, QDir::Name),
              QStringList({"_old_other", "libqgif.so", "update"}));
}

TEST(UpdateEngineStatics, RemoveQt4FilesTakesOnlyTheQt4Libraries)
{
    QTemporaryDir dir;
    for (const char* name : {"libQtCore.so.4", "libQtSql.so.4", "libQt5Core.so.5", "libQtCore.so.4.8"})
        ASSERT_TRUE(put(dir.filePath(name), "x"));
    UpdateEngine::removeQt4Files(dir.path());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files, QDir::Name),
              QStringList({"libQt5Core.so.5", "libQtCore.so.4.8"}));
}

TEST(UpdateEngineStatics, RemoveDirRecursivelyEmptiesTheTreeButFollowsNoLink)
{
    QTemporaryDir dir;
    QTemporaryDir outside;
    ASSERT_TRUE(put(outside.filePath("keep/me.txt"), "precious"));
    const QString tree = dir.filePath("tree");
    ASSERT_TRUE(put(tree + "/a.txt", "a"));
    ASSERT_TRUE(put(tree + "/.hidden", "h"));
    ASSERT_TRUE(put(tree + "/sub/deeper/b.txt", "b"));
    ASSERT_TRUE(QDir().mkpath(tree + "/empty"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep"), tree + "/sub/linkdir"));
    ASSERT_TRUE(QFile::link(outside.filePath("keep/me.txt"), tree + "/link.txt"));

    UpdateEngine::removeDirRecursively(tree);

    EXPECT_TRUE(QFileInfo(tree).isDir());
    EXPECT_FALSE(QFile::exists(tree + "/a.txt"));
    EXPECT_FALSE(QFile::exists(tree + "/.hidden"));
    EXPECT_FALSE(QFile::exists(tree + "/empty"));
    EXPECT_FALSE(QFileInfo::exists(tree + "/sub/deeper"));
    // Links stay (so "sub" stays too), and nothing behind them is touched.
    EXPECT_TRUE(QFileInfo(tree + "/link.txt").isSymLink());
    EXPECT_TRUE(QFileInfo(tree + "/sub/linkdir").isSymLink());
    EXPECT_EQ(vxtest::readFile(outside.filePath("keep/me.txt")), "precious");
}

TEST_F(EngineTest, AppliesTheProxyOfUpdateIni)
{
    struct Case {
        QByteArray proxy;
        QNetworkProxy::ProxyType type;
        QString host;
        quint16 port;
    };
    const Case cases[] = {
        {"", QNetworkProxy::NoProxy, "", 0},
        {"http://proxy.local", QNetworkProxy::HttpProxy, "proxy.local", 3128},
        {"http://user@proxy.local:8080/", QNetworkProxy::HttpProxy, "proxy.local", 8080},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.proxy.toStdString());
        writeAppIni(c.proxy.isEmpty() ? QByteArray() : "[update]\nproxy=" + c.proxy + "\n");
        makeEngine();
        const QNetworkProxy proxy = engine->networkManager()->proxy();
        EXPECT_EQ(proxy.type(), c.type);
        if (c.type == QNetworkProxy::HttpProxy) {
            EXPECT_EQ(proxy.hostName(), c.host);
            EXPECT_EQ(proxy.port(), c.port);
            EXPECT_TRUE(proxy.user().isEmpty());
        }
        vxtest::drainEvents();
        EXPECT_EQ(fatal->count(), 0);
    }
}

TEST_F(EngineTest, ReportsAnInvalidProxyToReceiversConnectedAfterConstruction)
{
    writeAppIni("[update]\nproxy=\"http://[::1\"\n");
    engine.reset(new UpdateEngine(&config, nullptr));
    QSignalSpy late(engine.get(), &UpdateEngine::fatalError);
    ASSERT_TRUE(vxtest::waitForCount(late, 1, 2000));
    EXPECT_EQ(late.at(0).at(0).toString(), "'http://[::1' is an invalid proxy specification");
}

TEST_F(EngineTest, FreshSessionMakesAWorkDirectoryAndRecordsIt)
{
    makeEngine();
    EXPECT_FALSE(engine->isBusy());
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(engine->getState(), UpdateEngine::POST_INIT);
    EXPECT_TRUE(engine->isBusy());
    EXPECT_EQ(config.workDir, sessionDir());
    EXPECT_TRUE(QFileInfo(sessionDir()).isDir());
    EXPECT_EQ(config.installDir, QCoreApplication::applicationDirPath());

    int version = 0;
    QString type, dir, vx3dir;
    ASSERT_TRUE(UpdateIniData::get(&version, &type, &dir, &vx3dir));
    EXPECT_EQ(version, 40);
    EXPECT_EQ(dir, sessionDir());
    EXPECT_EQ(vx3dir, config.installDir);
    EXPECT_EQ(type, config.clientType);
    EXPECT_TRUE(errors->isEmpty());
}

TEST_F(EngineTest, SameVersionContinuesThePreviousSession)
{
    const QString work = sessionDir(3);
    QTemporaryDir install;
    ASSERT_TRUE(put(work + "/already.bin", "fetched before"));
    ASSERT_TRUE(UpdateIniData::modify(40, work, install.path(), "oldtype"));

    makeEngine();
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(texts(*messages), QStringList({"Previous update session for v. 40 found"}));
    EXPECT_EQ(config.workDir, work);
    EXPECT_EQ(config.installDir, install.path());
    EXPECT_EQ(vxtest::readFile(work + "/already.bin"), "fetched before");
    EXPECT_FALSE(QFile::exists(sessionDir()));
    // The record is rewritten with the current type.
    QString type;
    ASSERT_TRUE(UpdateIniData::get(nullptr, &type, nullptr, nullptr));
    EXPECT_EQ(type, config.clientType);
}

TEST_F(EngineTest, OtherVersionClearsThePreviousSession)
{
    const QString old = tmp.path() + "/voxmere_temp_7";
    ASSERT_TRUE(put(old + "/a.bin", "a"));
    ASSERT_TRUE(put(old + "/sub/b.bin", "b"));
    ASSERT_TRUE(UpdateIniData::modify(39, old, "/nowhere", "t"));
    QSettings(UpdateIniData::updateIniPath(), QSettings::IniFormat).setValue("update/streams", 3);

    makeEngine();
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(texts(*messages),
              QStringList({QString("Cleanup previous session (v. 39, %1) files...").arg(old), "Ok"}));
    EXPECT_FALSE(QFileInfo::exists(old));
    EXPECT_EQ(config.workDir, sessionDir());
    EXPECT_EQ(config.installDir, QCoreApplication::applicationDirPath());
    // The old record is replaced; the user's settings stay.
    QSettings ini(UpdateIniData::updateIniPath(), QSettings::IniFormat);
    EXPECT_EQ(ini.value("update/streams").toInt(), 3);
    EXPECT_EQ(ini.value("current/version").toInt(), 40);
}

TEST_F(EngineTest, RecordWhoseDirectoryIsGoneCountsAsNone)
{
    ASSERT_TRUE(UpdateIniData::modify(39, tmp.path() + "/gone", "/nowhere", "t"));
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    EXPECT_TRUE(messages->isEmpty());
    EXPECT_EQ(config.workDir, sessionDir());
}

// A record is acted on only when its folder is a private voxmere_temp_<n> of ours directly in
// the temp folder, and a resumed one only with a plain installation directory. Otherwise nothing
// it names is emptied, removed or used: the run starts afresh.
TEST_F(EngineTest, UntrustedRecordIsIgnoredAndNothingItNamesIsTouched)
{
    QTemporaryDir victimRoot;
    const QString victim = victimRoot.filePath("victim");
    const QString linked = tmp.path() + "/voxmere_temp_5";
    struct Case {
        const char* label;
        QString dir;
        mode_t mode;    // of a folder made at dir; 0: a link to the victim instead
        QString vx3dir;
        const char* reason;
        bool sharedGroup = false; // the folder's group has another user in it
    };
    const Case cases[] = {
        {"link to another folder", linked, 0, "", "is a symbolic link"},
        {"writable by others", tmp.path() + "/voxmere_temp_5", 0777, "", "is writable by group or others"},
        {"writable by a group with another user", tmp.path() + "/voxmere_temp_5", 0770, "",
         "is writable by group or others (mode 0770, group", true},
        {"other name", tmp.path() + "/victim", 0700, "", "is not a voxmere_temp_<n> folder"},
        {"deeper in the temp folder", tmp.path() + "/sub/voxmere_temp_5", 0700, "",
         "is not a voxmere_temp_<n> folder"},
        {"number out of range", tmp.path() + "/voxmere_temp_1000", 0700, "",
         "is not a voxmere_temp_<n> folder"},
        {"installation at the root", tmp.path() + "/voxmere_temp_5", 0700, "/",
         "is not a clean absolute path"},
        {"installation through ..", tmp.path() + "/voxmere_temp_5", 0700, victimRoot.path() + "/../etc",
         "is not a clean absolute path"},
        {"installation that is a file", tmp.path() + "/voxmere_temp_5", 0700, victim + "/keep.txt",
         "is not an existing directory"},
    };
    for (const Case& c : cases) {
        for (const int version : {39, 40}) {
            SCOPED_TRACE(std::string(c.label) + (version == 40 ? ", same version" : ", other version"));
            const bool resumes = version == 40;
            if (!c.vx3dir.isEmpty() && !resumes)
                continue; // a record that is cleared never uses its installation directory
            QDir(tmp.path()).removeRecursively();
            ASSERT_TRUE(QDir().mkpath(tmp.path()));
            QDir(victim).removeRecursively();
            ASSERT_TRUE(put(victim + "/keep.txt", "precious"));
            if (c.mode == 0) {
                ASSERT_TRUE(QFile::link(victim, c.dir));
            } else {
                ASSERT_TRUE(put(c.dir + "/keep.txt", "precious"));
                ASSERT_EQ(::chmod(QFile::encodeName(c.dir).constData(), c.mode), 0);
            }
            if (c.sharedGroup) {
                if (!vxtest::otherUserUnavailable().isEmpty())
                    continue;
                ASSERT_EQ(::chown(QFile::encodeName(c.dir).constData(), uid_t(-1), vxtest::otherUserGroupId()), 0);
            }
            writeAppIni({});
            ASSERT_TRUE(UpdateIniData::modify(version, c.dir, c.vx3dir, "t"));

            makeEngine();
            ASSERT_TRUE(engine->initialize());
            const QStringList said = texts(*messages);
            ASSERT_EQ(said.size(), 1) << said.join("\n").toStdString();
            EXPECT_TRUE(said[0].startsWith("Ignoring previous session record: '")) << said[0].toStdString();
            EXPECT_TRUE(said[0].contains(c.reason)) << said[0].toStdString();
            EXPECT_EQ(config.workDir, sessionDir());
            EXPECT_EQ(config.installDir, QCoreApplication::applicationDirPath());
            EXPECT_EQ(vxtest::readFile(victim + "/keep.txt"), "precious");
            EXPECT_EQ(vxtest::readFile(c.dir + "/keep.txt"), "precious");
            QString dir;
            ASSERT_TRUE(UpdateIniData::get(nullptr, nullptr, &dir, nullptr));
            EXPECT_EQ(dir, sessionDir());
            engine.reset();
        }
    }
}

// After a failed run its voxmere_temp_0 vanished (a reboot, a tmp cleaner), and another local
// user made a folder of that name: the next run neither continues in it nor empties it.
TEST_F(EngineTest, RecordOfAFolderAnotherUserMadeAgainIsIgnored)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    QTemporaryDir root;
    const QString shared = root.path() + "/tmp";
    ASSERT_TRUE(vxtest::shareLikeSystemTemp(root.path(), shared));
    qputenv("TMPDIR", shared.toUtf8());
    const QString old = shared + "/voxmere_temp_0";
    for (const int version : {39, 40}) {
        SCOPED_TRACE(version == 40 ? "same version" : "other version");
        writeAppIni({});
        ASSERT_TRUE(UpdateIniData::modify(version, old, QString(), "t"));
        QDir(old).removeRecursively();
        ASSERT_TRUE(vxtest::runAsOtherUser(shared, "mkdir voxmere_temp_0; echo planted > voxmere_temp_0/update"));

        makeEngine();
        ASSERT_TRUE(engine->initialize());
        EXPECT_TRUE(texts(*messages).value(0).startsWith(
            QString("Ignoring previous session record: '%1' is owned by another user").arg(old)))
            << texts(*messages).join("\n").toStdString();
        EXPECT_EQ(config.workDir, shared + "/voxmere_temp_1");
        EXPECT_EQ(QFileInfo(config.workDir).ownerId(), ::geteuid());
        EXPECT_EQ(vxtest::readFile(old + "/update"), "planted\n");
        EXPECT_EQ(QFileInfo(old).ownerId(), vxtest::otherUserId());
        engine.reset();
        QDir(config.workDir).removeRecursively();
    }
}

// The client phase runs from its work folder, and only its session record says where to
// install: a record it cannot use ends the start with the reason, and nothing changes.
TEST_F(EngineTest, ClientPhaseRefusesARecordItCannotUseAndChangesNothing)
{
    config.isClientUpdate = 1;
    const QString work = sessionDir(4);
    QTemporaryDir install;
    ASSERT_TRUE(put(work + "/inner/keep.txt", "precious"));
    const auto record = [&](const QString& version, const QString& dir, const QString& vx3dir) {
        return QString("[current]\nversion=%1\ndir=%2\nvx3dir=%3\ntype=client_linux_x86\n")
            .arg(version, dir, vx3dir).toUtf8();
    };
    struct Case {
        const char* label;
        QByteArray ini;
        QString reason;
        mode_t mode = 0755;
    };
    const Case cases[] = {
        {"no record", QByteArray(), "holds no valid session record"},
        {"unreadable version", record("4x", work, install.path()), "holds no valid session record"},
        {"work folder missing", record("40", sessionDir(8), install.path()), "holds no valid session record"},
        {"other version", record("39", work, install.path()), "the session record is for version 39, not 40"},
        {"work folder others can write", record("40", work, install.path()), "is writable by group or others", 0757},
        {"installation at the root", record("40", work, "/"), "'/' is not a clean absolute path"},
        {"relative installation", record("40", work, "install"), "is not a clean absolute path"},
        {"installation missing", record("40", work, tmp.path() + "/gone"), "is not an existing directory"},
        {"no installation", record("40", work, ""), "the session record names no installation"},
        {"installation in the work folder", record("40", work, work + "/inner"), "is the work folder or lies in it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(::chmod(QFile::encodeName(work).constData(), c.mode), 0);
        writeAppIni(c.ini);
        const auto before = enginetest::treeOf(tmp.path());
        makeEngine();
        EXPECT_FALSE(engine->initialize());
        EXPECT_EQ(engine->getState(), UpdateEngine::PRE_INIT);
        ASSERT_EQ(errors->count(), 1);
        const QString said = errors->first().first().toString();
        EXPECT_TRUE(said.startsWith("Cannot continue the update session: ")) << said.toStdString();
        EXPECT_TRUE(said.contains(c.reason)) << said.toStdString();
        EXPECT_TRUE(config.workDir.isEmpty() && config.installDir.isEmpty());
        EXPECT_EQ(vxtest::readFile(UpdateIniData::updateIniPath()), c.ini);
        EXPECT_EQ(enginetest::treeOf(tmp.path()), before);
        EXPECT_FALSE(QFileInfo::exists(sessionDir()));
        engine.reset();
    }
}

// A client phase that failed or was killed left its work folder and session record, which
// nothing continues: the next run of that installation removes it, so that a fault that persists
// does not leave a folder per run. Another installation's folder stays.
TEST_F(EngineTest, NextRunRemovesTheFolderAFailedRunOfTheInstallationLeft)
{
    const QString app = QCoreApplication::applicationDirPath();
    for (const auto& [n, installation] : {std::pair<int, QString>{3, app}, {4, tmp.path() + "/other"}}) {
        ASSERT_TRUE(put(sessionDir(n) + "/download.bin", "fetched"));
        ASSERT_TRUE(vxtest::writeIni(sessionDir(n) + "/update.ini",
                                     ("[current]\nversion=39\ndir=" + sessionDir(n) + "\nvx3dir="
                                      + installation + "\ntype=t\n").toUtf8()));
    }
    makeEngine();
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(config.workDir, sessionDir());
    EXPECT_FALSE(QFileInfo::exists(sessionDir(3)));
    EXPECT_EQ(vxtest::readFile(sessionDir(4) + "/download.bin"), "fetched");
}

TEST_F(EngineTest, UnwritableUpdateIniIsAnErrorAndKeepsPreInit)
{
    ASSERT_TRUE(QDir().mkpath(UpdateIniData::updateIniPath()));
    makeEngine();
    EXPECT_FALSE(engine->initialize());
    QDir().rmdir(UpdateIniData::updateIniPath());
    EXPECT_EQ(engine->getState(), UpdateEngine::PRE_INIT);
    EXPECT_EQ(texts(*errors),
              QStringList({"Failed to write update.ini. The updater does not seem to have the "
                           "required write permissions."}));
}

TEST_F(EngineTest, CancelOutsideARunDoesNothing)
{
    makeEngine();
    engine->cancelUpdate();
    EXPECT_EQ(engine->getState(), UpdateEngine::PRE_INIT);
    ASSERT_TRUE(engine->initialize());
    engine->cancelUpdate();
    EXPECT_EQ(engine->getState(), UpdateEngine::POST_INIT);
}

// Runs of the whole engine against a server. Each run uses a version of its own; the session is
// recorded beforehand so that the run continues it with the test's own directories.
class EngineRun : public EngineTest
{
protected:
    static void SetUpTestSuite()
    {
        root = new QTemporaryDir;
        nginx = new vxtest::NginxServer(root->path());
        ASSERT_TRUE(nginx->start()) << nginx->errorText().toStdString();
    }

    static void TearDownTestSuite()
    {
        delete nginx;
        delete root;
    }

    void SetUp() override
    {
        EngineTest::SetUp();
        if (!enginetest::signsWithBuiltinKey())
            GTEST_SKIP() << "built with another public key";
        static int nextVersion = 500;
        config.versionNumber = nextVersion++;
        Configuration::updateBaseUrl = nginx->baseUrl();
        ASSERT_TRUE(QDir().mkpath(workDir()));
        ASSERT_TRUE(QDir().mkpath(installDir()));
    }

    void usePhase(int clientUpdate)
    {
        config.isClientUpdate = clientUpdate;
        config.clientType = Configuration::defaultClientType(clientUpdate == 1);
        ASSERT_TRUE(UpdateIniData::modify(config.versionNumber, workDir(), installDir(),
                                          config.clientType));
    }

    QString workDir() const { return tmp.path() + "/voxmere_temp_9"; }
    QString installDir() const { return tmp.path() + "/install"; }
    QString serverDir() const { return root->path() + "/" + QString::number(config.versionNumber); }

    bool publish(const QString& path, const QByteArray& data)
    {
        return put(serverDir() + "/" + path, data);
    }

    bool publishIni(const QByteArray& ini)
    {
        return enginetest::publishProductIni(
            root->path(), config.versionNumber,
            IniDownloadTaskSpecification::productIniName(config.isClientUpdate == 1), ini);
    }

    // Starts a run; the spies record its course.
    void start()
    {
        makeEngine();
        finished.reset(new QSignalSpy(engine.get(), &UpdateEngine::updateFinished));
        canceled.reset(new QSignalSpy(engine.get(), &UpdateEngine::updateCanceled));
        figures.reset(new QSignalSpy(engine.get(), &UpdateEngine::downloadProgress));
        progress.reset(new QSignalSpy(engine.get(), &UpdateEngine::updateProgress));
        ASSERT_TRUE(engine->initialize());
        ASSERT_TRUE(engine->startUpdate());
        EXPECT_EQ(engine->getState(), UpdateEngine::RUNNING);
    }

    bool waitEnd(int timeoutMs = 30000)
    {
        return vxtest::runUntil([&] { return finished->count() + canceled->count() > 0; },
                                timeoutMs);
    }

    void expectLastFiguresZero()
    {
        ASSERT_FALSE(figures->isEmpty());
        const QList<QVariant> last = figures->last();
        EXPECT_EQ(last.at(0).toULongLong(), 0u);
        EXPECT_EQ(last.at(1).toULongLong(), 0u);
        EXPECT_EQ(last.at(2).toULongLong(), 0u);
        EXPECT_FALSE(last.at(3).toBool());
    }

    static QTemporaryDir* root;
    static vxtest::NginxServer* nginx;
    std::unique_ptr<QSignalSpy> finished;
    std::unique_ptr<QSignalSpy> canceled;
    std::unique_ptr<QSignalSpy> figures;
    std::unique_ptr<QSignalSpy> progress;
};

QTemporaryDir* EngineRun::root = nullptr;
vxtest::NginxServer* EngineRun::nginx = nullptr;

TEST_F(EngineRun, UnverifiedProductIniCancelsAndKeepsTheSession)
{
    usePhase(1);
    const QString ini = IniDownloadTaskSpecification::productIniName(true);
    ASSERT_TRUE(publish(ini + "._lzma2_", enginetest::packed("[files]\na=1::1\n")));
    ASSERT_TRUE(publish(ini + ".sig", enginetest::signature("[files]\na=2::2\n")));

    start();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(canceled->count(), 1);
    EXPECT_EQ(finished->count(), 0);
    EXPECT_EQ(engine->getState(), UpdateEngine::CANCELED);
    EXPECT_FALSE(engine->isBusy());
    const QStringList said = texts(*messages);
    EXPECT_TRUE(said.contains("Could not verify the product ini file. Aborting"));
    EXPECT_FALSE(said.contains(kUserAborted));
    expectLastFiguresZero();
    EXPECT_TRUE(QFile::exists(UpdateIniData::updateIniPath()));
    // The rejected ini is not kept: the next try fetches it afresh.
    EXPECT_FALSE(QFile::exists(workDir() + "/" + ini));
    EXPECT_FALSE(QFile::exists(workDir() + "/" + ini + ".sig"));

    // The next try continues the same session.
    engine->resetAfterCancel();
    EXPECT_EQ(engine->getState(), UpdateEngine::PRE_INIT);
    messages->clear();
    ASSERT_TRUE(engine->initialize());
    EXPECT_EQ(texts(*messages).value(0),
              QString("Previous update session for v. %1 found").arg(config.versionNumber));
    EXPECT_EQ(config.workDir, workDir());
}

TEST_F(EngineRun, CancelDuringADownloadReportsTheUserAbort)
{
    vxtest::FaultServer faults(root->path());
    ASSERT_TRUE(faults.start());
    Configuration::updateBaseUrl = faults.baseUrl();
    usePhase(1);

    const QByteArray big = noise(300000);
    const QByteArray gz = enginetest::gzipped(big);
    ASSERT_TRUE(publish("files/big.bin.gz", gz));
    ASSERT_TRUE(publishIni(QString("[files]\nbig.bin.gz=%1::%2::%3::%4::big.bin\n")
                               .arg(sha512Hex(gz)).arg(gz.size())
                               .arg(sha512Hex(big)).arg(big.size()).toUtf8()));
    const QString held = "/" + QString::number(config.versionNumber) + "/files/big.bin.gz";
    ASSERT_TRUE(faults.script(held, R"([{"send": 1000, "then": "hold"}])"));

    start();
    // The poll reports the held transfer as under way, its bytes counted against the listed
    // size (finished downloads of the run keep their own figures in the sums).
    ASSERT_TRUE(vxtest::runUntil([&] {
        return !figures->isEmpty() && figures->last().at(3).toBool()
            && figures->last().at(0).toULongLong() >= 1000;
    }, 20000));
    vxtest::runFor(1100);
    const QList<QVariant> during = figures->last();
    EXPECT_TRUE(during.at(3).toBool());
    EXPECT_GE(during.at(1).toULongLong(), quint64(gz.size()));
    EXPECT_LT(during.at(0).toULongLong(), during.at(1).toULongLong());
    // Nothing arrived since the previous poll.
    EXPECT_EQ(during.at(2).toULongLong(), 0u);

    engine->cancelUpdate();
    ASSERT_TRUE(waitEnd());
    faults.release(held, 10);
    EXPECT_EQ(canceled->count(), 1);
    EXPECT_TRUE(texts(*messages).contains(kUserAborted));
    expectLastFiguresZero();
    EXPECT_TRUE(QFile::exists(UpdateIniData::updateIniPath()));
    EXPECT_TRUE(QFileInfo(workDir()).isDir());
    EXPECT_FALSE(QFile::exists(installDir() + "/big.bin"));
}

// The client phase: the installed tree becomes the released one, byte for byte.
TEST_F(EngineRun, ClientPhaseBringsTheInstallationToTheRelease)
{
    usePhase(1);
    const QByteArray oldA = "old a\n", newA = QByteArray(5000, 'A') + "new a\n";
    const QByteArray newB = QByteArray(7000, 'B');
    const QByteArray newC = "brand new c\n";
    const QByteArray same = "unchanged\n";
    QByteArray oldD, newD;
    for (int i = 0; i < 4000; ++i) {
        oldD += QByteArray::number(i) + " line of d\n";
        newD += QByteArray::number(i % 97 == 0 ? -i : i) + " line of d\n";
    }
    const QMap<QString, QByteArray> oldTree = {
        {"a.txt", oldA}, {"same.txt", same}, {"d.txt", oldD}, {"gone.txt", "bye"}};
    const QMap<QString, QByteArray> newTree = {
        {"a.txt", newA}, {"sub/b.bin", newB}, {"c.txt", newC}, {"same.txt", same}, {"d.txt", newD}};
    for (auto it = oldTree.begin(); it != oldTree.end(); ++it)
        ASSERT_TRUE(put(installDir() + "/" + it.key(), it.value()));

    const QByteArray packedA = enginetest::packed(newA);
    const QByteArray gzB = enginetest::gzipped(newB);
    const QByteArray packedD = enginetest::packed(newD);
    vxtest::Bytes patchD;
    ASSERT_TRUE(vxtest::MakeEnsemblePatch(vxtest::Bytes(oldD.begin(), oldD.end()),
                                          vxtest::Bytes(newD.begin(), newD.end()),
                                          vxtest::EnsembleWriterOptions(), &patchD));
    const QByteArray patch(reinterpret_cast<const char*>(patchD.data()), int(patchD.size()));
    ASSERT_TRUE(publish("files/a.txt._lzma2_", packedA));
    ASSERT_TRUE(publish("files/sub/b.bin.gz", gzB));
    ASSERT_TRUE(publish("files/c.txt", newC));
    ASSERT_TRUE(publish("files/d.txt_patch_", patch));
    // The whole package of d is listed but never fetched: the patch fits the installed file.
    auto line = [](const QByteArray& pub, const QByteArray& inst, const char* target) {
        return QString("%1::%2::%3::%4::%5\n").arg(sha512Hex(pub)).arg(pub.size())
            .arg(sha512Hex(inst)).arg(inst.size()).arg(target);
    };
    const QString ini = "[files]\n"
        "a.txt._lzma2_=" + line(packedA, newA, "a.txt")
        + "sub/b.bin.gz=" + line(gzB, newB, "sub/b.bin")
        + "c.txt=" + sha512Hex(newC) + "::" + QString::number(newC.size()) + "\n"
        + "same.txt=" + sha512Hex(same) + "::" + QString::number(same.size()) + "\n"
        + "d.txt._lzma2_=" + line(packedD, newD, "d.txt")
        + "d.txt_patch_=" + line(patch, oldD, "d.txt")
        + "[delete]\ngone.txt=0\n";
    ASSERT_TRUE(publishIni(ini.toUtf8()));

    start();
    ASSERT_TRUE(waitEnd());
    ASSERT_EQ(finished->count(), 1) << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(engine->getState(), UpdateEngine::FINISHED);
    EXPECT_EQ(enginetest::treeOf(installDir()), newTree);
    const QStringList said = texts(*messages);
    EXPECT_EQ(said.value(1), "Starting update process for client");
    EXPECT_TRUE(said.contains("Update successfully finished"));
    EXPECT_EQ(said.last(), "Update successfully finished");
    EXPECT_TRUE(said.contains("Temporary files removed."));
    EXPECT_TRUE(errors->isEmpty()) << texts(*errors).join("\n").toStdString();
    // The client phase removes its working directory and the session record.
    EXPECT_FALSE(QFileInfo::exists(workDir()));
    EXPECT_FALSE(QFile::exists(UpdateIniData::updateIniPath()));
    expectLastFiguresZero();
    ASSERT_FALSE(progress->isEmpty());
    EXPECT_DOUBLE_EQ(progress->last().at(0).toDouble(), 1.0);
    for (const QList<QVariant>& p : *progress)
        EXPECT_LE(p.at(0).toDouble(), 1.0 + 1e-9);
}

// A run that ends well removes what killed runs of the same user left in the temp folder: the
// work folders it can trust, and nothing else.
TEST_F(EngineRun, SuccessfulClientPhaseRemovesOnlyTrustedStaleWorkFolders)
{
    usePhase(1);
    const QByteArray c = "new c\n";
    ASSERT_TRUE(publish("files/c.txt", c));
    ASSERT_TRUE(publishIni("[files]\nc.txt=" + sha512Hex(c).toUtf8() + "::" + QByteArray::number(c.size()) + "\n"));
    QTemporaryDir victim;
    ASSERT_TRUE(put(victim.filePath("keep.txt"), "precious"));
    const QString stale = tmp.path() + "/voxmere_temp_3";
    ASSERT_TRUE(put(stale + "/a.bin", "a"));
    ASSERT_TRUE(put(stale + "/sub/b.bin", "b"));
    const QString staleRandom = tmp.path() + "/voxmere_temp_Rq7zK2";
    ASSERT_TRUE(put(staleRandom + "/a.bin", "a"));
    ASSERT_TRUE(TrustedFolder::markWorkFolder(staleRandom));
    ASSERT_TRUE(QFile::link(victim.path(), tmp.path() + "/voxmere_temp_4"));
    // The user's own folders look like random-name work folders, but nothing of ours made them.
    const QStringList kept = {"voxmere_temp_5/a.bin", "voxmere_temp_6/a.bin", "voxmere_temp_7",
                              "voxmere_temp_01/a.bin", "other/a.bin", "voxmere_temp_8/a.bin",
                              "voxmere_temp_backup/notes.txt", "voxmere_temp_notes1/a.bin"};
    for (const QString& name : kept)
        ASSERT_TRUE(put(tmp.path() + "/" + name, "x"));
    // Another installation's update is working in this one.
    const WorkFolderLock busy(tmp.path() + "/voxmere_temp_8", WorkFolderLock::Shared);
    ASSERT_TRUE(busy.isHeld());
    ASSERT_EQ(::chmod(QFile::encodeName(tmp.path() + "/voxmere_temp_5").constData(), 0777), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(QFile::encodeName(tmp.path() + "/voxmere_temp_6").constData(),
                          vxtest::otherUserId(), gid_t(-1)), 0);
    }

    // A failed run leaves them all.
    const QString ini = IniDownloadTaskSpecification::productIniName(true);
    ASSERT_TRUE(put(workDir() + "/" + ini + ".sig", "not a signature"));
    start();
    ASSERT_TRUE(waitEnd());
    ASSERT_EQ(canceled->count(), 1);
    EXPECT_TRUE(QFileInfo::exists(stale + "/sub/b.bin"));
    engine.reset();
    QFile::remove(workDir() + "/" + ini + ".sig");
    QFile::remove(workDir() + "/" + ini);

    start();
    ASSERT_TRUE(waitEnd());
    ASSERT_EQ(finished->count(), 1) << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(vxtest::readFile(installDir() + "/c.txt"), c);
    EXPECT_FALSE(QFileInfo::exists(workDir()));
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_FALSE(QFileInfo::exists(staleRandom));
    EXPECT_TRUE(QFileInfo(tmp.path() + "/voxmere_temp_4").isSymLink());
    EXPECT_EQ(vxtest::readFile(victim.filePath("keep.txt")), "precious");
    for (const QString& name : kept) {
        SCOPED_TRACE(name.toStdString());
        if (name.startsWith("voxmere_temp_6") && !root)
            continue;
        EXPECT_EQ(vxtest::readFile(tmp.path() + "/" + name), "x");
    }
}

// The updater phase: the new updater tree is assembled in the working directory; the
// installation is not touched.
TEST_F(EngineRun, UpdaterPhaseAssemblesTheNewUpdaterInTheWorkDirectory)
{
    usePhase(0);
    const QByteArray oldUpdate = "#!/bin/sh\necho old\n", newUpdate = "#!/bin/sh\necho new\n";
    const QByteArray lib = QByteArray(3000, 'L');
    const QByteArray newTr = QByteArray(2000, 'T');
    ASSERT_TRUE(put(installDir() + "/update", oldUpdate));
    ASSERT_TRUE(put(installDir() + "/libx.so", lib));
    const QMap<QString, QByteArray> installBefore = enginetest::treeOf(installDir());

    const QByteArray packedUpdate = enginetest::packed(newUpdate);
    const QByteArray gzLib = enginetest::gzipped(lib);
    const QByteArray gzTr = enginetest::gzipped(newTr);
    ASSERT_TRUE(publish("updater/update._lzma2_", packedUpdate));
    ASSERT_TRUE(publish("updater/plugins/tr.dat.gz", gzTr));
    auto line = [](const QByteArray& pub, const QByteArray& inst, const char* target) {
        return QString("%1::%2::%3::%4::%5\n").arg(sha512Hex(pub)).arg(pub.size())
            .arg(sha512Hex(inst)).arg(inst.size()).arg(target);
    };
    const QString ini = "[updater]\n"
        "update._lzma2_=" + line(packedUpdate, newUpdate, "update")
        + "libx.so.gz=" + line(gzLib, lib, "libx.so")
        + "plugins/tr.dat.gz=" + line(gzTr, newTr, "plugins/tr.dat");
    ASSERT_TRUE(publishIni(ini.toUtf8()));
    {
        QSettings user(UpdateIniData::updateIniPath(), QSettings::IniFormat);
        user.setValue("Channel/alpha", "http://alpha.example/");
        user.setValue("update/streams", 2);
    }

    start();
    ASSERT_TRUE(waitEnd());
    ASSERT_EQ(finished->count(), 1) << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(texts(*messages).value(1), "Starting update process for updater");
    EXPECT_TRUE(texts(*messages).contains("Removed temporary update.ini"));
    EXPECT_EQ(enginetest::treeOf(installDir()), installBefore);
    EXPECT_EQ(vxtest::readFile(workDir() + "/update"), newUpdate);
    EXPECT_TRUE(QFileInfo(workDir() + "/update").isExecutable());
    EXPECT_EQ(vxtest::readFile(workDir() + "/libx.so"), lib);
    EXPECT_EQ(vxtest::readFile(workDir() + "/plugins/tr.dat"), newTr);
    // The new updater gets the session record and the user's settings; the old file keeps
    // only the settings.
    QSettings handed(workDir() + "/update.ini", QSettings::IniFormat);
    EXPECT_EQ(handed.childGroups(), (QStringList{"Channel", "current", "update"}));
    EXPECT_EQ(handed.value("Channel/alpha").toString(), "http://alpha.example/");
    EXPECT_EQ(handed.value("update/streams").toInt(), 2);
    QSettings kept(UpdateIniData::updateIniPath(), QSettings::IniFormat);
    EXPECT_EQ(kept.childGroups(), (QStringList{"Channel", "update"}));
    EXPECT_TRUE(QFileInfo(workDir()).isDir());
}

// A file listed without a digest is judged by a signature file beside it; when that check
// fails the file is never installed and the run ends before the installation changes.
TEST_F(EngineRun, FileFailingItsCheckWithoutDigestIsNeverInstalled)
{
    usePhase(1);
    ASSERT_TRUE(put(installDir() + "/a.txt", "old a\n"));
    const QMap<QString, QByteArray> before = enginetest::treeOf(installDir());
    const QByteArray newB = "new b\n";
    ASSERT_TRUE(publish("files/c.txt", "planted by the network\n"));
    ASSERT_TRUE(publish("files/b.txt", newB));
    ASSERT_TRUE(publishIni(QString("[files]\nb.txt=%1::%2\nc.txt=::23\n")
                               .arg(sha512Hex(newB)).arg(newB.size()).toUtf8()));

    start();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(finished->count(), 0);
    EXPECT_EQ(canceled->count(), 1);
    EXPECT_TRUE(texts(*messages).contains("Signature check failed for " + workDir() + "/c.txt"))
        << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(enginetest::treeOf(installDir()), before);
}

// A packed file listed without a digest for its installed result is judged by the signature
// file beside the installed file: refused without a valid one, installed with it. A file listed
// with size 0 (not known) is fetched whole.
TEST_F(EngineRun, InstalledResultWithoutDigestNeedsItsSignature)
{
    usePhase(1);
    const QByteArray content = "judged by its signature\n", unsized = "listed with size 0\n";
    const QByteArray gz = enginetest::gzipped(content);
    ASSERT_TRUE(publish("files/s.txt.gz", gz));
    ASSERT_TRUE(publish("files/z.txt", unsized));
    ASSERT_TRUE(publishIni(QString("[files]\ns.txt.gz=%1::%2::::0::s.txt\nz.txt=%3::0\n")
                               .arg(sha512Hex(gz)).arg(gz.size()).arg(sha512Hex(unsized)).toUtf8()));
    ASSERT_TRUE(put(installDir() + "/s.txt.sig", enginetest::signature("something else")));

    start();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(canceled->count(), 1);
    EXPECT_TRUE(texts(*messages).contains("Signature check failed for " + installDir() + "/s.txt"))
        << texts(*messages).join("\n").toStdString();
    EXPECT_FALSE(QFileInfo::exists(installDir() + "/s.txt"));

    ASSERT_TRUE(put(installDir() + "/s.txt.sig", enginetest::signature(content)));
    engine->resetAfterCancel();
    canceled->clear();
    ASSERT_TRUE(engine->initialize());
    ASSERT_TRUE(engine->startUpdate());
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(finished->count(), 1) << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(vxtest::readFile(installDir() + "/s.txt"), content);
    EXPECT_EQ(vxtest::readFile(installDir() + "/z.txt"), unsized);
}

// A product ini naming a path that leads out of the installation, here through a symbolic link
// inside it, is refused as a whole before any file changes, inside or outside.
TEST_F(EngineRun, PathLeadingOutThroughALinkInTheInstallationIsRefused)
{
    usePhase(1);
    const QString outside = tmp.path() + "/outside";
    ASSERT_TRUE(put(outside + "/victim.txt", "not the updater's\n"));
    ASSERT_TRUE(put(installDir() + "/a.txt", "old a\n"));
    ASSERT_TRUE(QFile::link(outside, installDir() + "/link"));
    const QMap<QString, QByteArray> installBefore = enginetest::treeOf(installDir());
    const QByteArray newA = "new a\n", evil = "planted\n";
    const QByteArray gzA = enginetest::gzipped(newA), gzEvil = enginetest::gzipped(evil);
    ASSERT_TRUE(publish("files/a.txt.gz", gzA));
    ASSERT_TRUE(publish("files/victim.gz", gzEvil));
    auto line = [](const QByteArray& pub, const QByteArray& inst, const char* target) {
        return QString("%1::%2::%3::%4::%5\n").arg(sha512Hex(pub)).arg(pub.size())
            .arg(sha512Hex(inst)).arg(inst.size()).arg(target);
    };
    ASSERT_TRUE(publishIni(("[files]\na.txt.gz=" + line(gzA, newA, "a.txt")
                            + "victim.gz=" + line(gzEvil, evil, "link/victim.txt")).toUtf8()));

    start();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(canceled->count(), 1);
    const QString refusal = QString("Refused path 'link/victim.txt' in section files of the "
                                    "product ini: it leads to %1/victim.txt, outside %2")
                                .arg(QDir(outside).canonicalPath(), QDir(installDir()).canonicalPath());
    EXPECT_TRUE(texts(*messages).contains(refusal)) << texts(*messages).join("\n").toStdString();
    EXPECT_EQ(enginetest::treeOf(installDir()), installBefore);
    EXPECT_EQ(vxtest::readFile(outside + "/victim.txt"), "not the updater's\n");
    EXPECT_EQ(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"victim.txt"});
}

// A file listed at 42 bytes whose server never stops sending: every attempt ends at the listed
// size, the run fails and nothing grows in the work directory or changes in the installation.
TEST_F(EngineRun, EndlessBodyForAListedFileEndsAtItsSize)
{
    vxtest::FaultServer faults(root->path());
    ASSERT_TRUE(faults.start());
    Configuration::updateBaseUrl = faults.baseUrl();
    usePhase(1);
    ASSERT_TRUE(put(installDir() + "/a.txt", "old a\n"));
    const QMap<QString, QByteArray> before = enginetest::treeOf(installDir());
    const QByteArray small(42, 's');
    ASSERT_TRUE(publish("files/small.bin", small));
    ASSERT_TRUE(publishIni(QString("[files]\nsmall.bin=%1::42\n").arg(sha512Hex(small)).toUtf8()));
    const QString path = "/" + QString::number(config.versionNumber) + "/files/small.bin";
    ASSERT_TRUE(faults.script(path, R"([{"length": false, "endless": true}])"));

    start();
    ASSERT_TRUE(waitEnd());
    EXPECT_EQ(canceled->count(), 1);
    const QStringList said = texts(*messages);
    EXPECT_EQ(said.filter("file files/small.bin is larger than 42 bytes").size(), 5)
        << said.join("\n").toStdString();
    EXPECT_EQ(faults.requests(path), 5);
    EXPECT_FALSE(QFileInfo::exists(workDir() + "/small.bin"));
    EXPECT_EQ(enginetest::treeOf(installDir()), before);
}

} // namespace
