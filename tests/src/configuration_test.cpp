// Configuration and update.ini tests. This binary has an output folder of its own, because the
// application directory (where update.ini lives) is the folder of the running test binary.
#include "configuration.h"
#include "eventloop.h"
#include "initestutil.h"
#include "localhttpserver.h"
#include "otheruser.h"
#include "testpaths.h"
#include "trustedfolder.h"
#include "updatechecker.h"
#include "versionlist.h"
#include "versionstestsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using vxtest::writeIni;

const QString kDefaultBaseUrl = QStringLiteral(VX_UPDATE_BASE_URL);

// Sets (or with a null value unsets) an environment variable for one scope.
class EnvOverride
{
public:
    EnvOverride(const char* name, const QByteArray& value)
        : name(name), hadValue(qEnvironmentVariableIsSet(name)), saved(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~EnvOverride()
    {
        if (hadValue)
            qputenv(name, saved);
        else
            qunsetenv(name);
    }
private:
    const char* name;
    bool hadValue;
    QByteArray saved;
};

// Serves one version reply and points the process-wide versions URL at it.
class VersionServer
{
public:
    VersionServer(int status, const QByteArray& body)
        : saved(defaultVersionsUrl)
    {
        EXPECT_TRUE(server.start());
        server.setReply(status, status == 200 ? "OK" : "Not Found", body);
        defaultVersionsUrl = server.url(QStringLiteral("/vx3-client-2")).toStdString();
    }
    ~VersionServer() { defaultVersionsUrl = saved; }
    int requests() const { return server.requestCount(); }
private:
    LocalHttpServer server;
    std::string saved;
};

QByteArray versionsReply(const char* text)
{
    QByteArray bytes;
    EXPECT_TRUE(vxtest::protocEncode(QStringLiteral("Versions"), QByteArray(text), &bytes)) << text;
    return bytes;
}

const char kStableOnly[] =
    "licenseAgreementId: 1 channels { name: \"stable\" version_number: 3100 version_string: \"3.1.0\" }";

QString appIniPath()
{
    return QDir(Configuration::appDirPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

void removeAppIni()
{
    QFile::remove(appIniPath());
    QFile::remove(appIniPath() + QStringLiteral(".lock"));
}

// Every test starts without update.ini files, with the configuration directory in a temporary
// folder, and leaves nothing behind in the application directory.
class ConfigurationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        removeAppIni();
        ASSERT_TRUE(configRoot.isValid());
        configEnv.reset(new EnvOverride("VX3_CONFIG_DIR", configRoot.path().toUtf8()));
        Configuration::updateBaseUrl.clear();
    }
    void TearDown() override
    {
        removeAppIni();
        EXPECT_FALSE(QFile::exists(appIniPath()));
    }
    QString configIniPath() const { return configRoot.path() + QStringLiteral("/update.ini"); }

    // Waits until the configuration's version query object has answered and gone.
    static bool queryDone(Configuration& config)
    {
        return vxtest::runUntil([&] { return config.findChildren<UpdateChecker*>().isEmpty(); }, 10000);
    }

    QTemporaryDir configRoot;
    std::unique_ptr<EnvOverride> configEnv;
};

// A real directory of ours that nobody else may enter, with nothing in it.
void expectFreshPrivateFolder(const QString& path)
{
    struct stat status;
    ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &status), 0) << path.toStdString();
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_uid, ::geteuid());
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_TRUE(QDir(path).isEmpty());
}

struct CommandLineCase
{
    const char* label;
    QStringList args; // after the program
    bool ok;
    int isClientUpdate;
    QString clientType;
    int versionNumber;
    QString versionString;
    bool queries;
    QString fatal;
};

} // namespace

TEST_F(ConfigurationTest, CommandLineTable)
{
    const CommandLineCase cases[] = {
        { "clientupdate with type, number and #", { "--clientupdate", "client_linux_x86", "3", "#" },
          true, 1, "client_linux_x86", 3, "", false, "" },
        { "clientupdate with a version text", { "--clientupdate", "client_linux_x86", "5", "3.5" },
          true, 1, "client_linux_x86", 5, "3.5", false, "" },
        { "nouser with number 0 queries and takes the received text", { "--nouser", "update_linux_x86", "0", "3.1" },
          true, 0, "update_linux_x86", 3100, "3.1.0", true, "" },
        { "type and number alone", { "update_linux_x86", "12" },
          true, 0, "update_linux_x86", 12, "", false, "" },
        { "nouser with one argument ignores it", { "--nouser", "client_linux_x86" },
          true, 0, "update_linux_x86", 3100, "3.1.0", true, "" },
        { "clientupdate alone defaults to the client", { "--clientupdate" },
          true, 1, "client_linux_x86", 3100, "3.1.0", true, "" },
        { "nothing", {}, true, 0, "update_linux_x86", 3100, "3.1.0", true, "" },
        { "three plain arguments", { "a", "1", "b" }, true, 0, "update_linux_x86", 3100, "3.1.0", true, "" },
        { "one plain argument", { "update_linux_x86" }, true, 0, "update_linux_x86", 3100, "3.1.0", true, "" },
        { "option is case-sensitive", { "--ClientUpdate", "client_linux_x86", "3" },
          true, 0, "update_linux_x86", 3100, "3.1.0", true, "" },
        { "bad number after nouser", { "--nouser", "update_linux_x86", "abc" },
          false, 0, "update_linux_x86", 0, "", false, "Invalid version nr (abc)" },
        { "bad number without option", { "update_linux_x86", "12x" },
          false, 0, "update_linux_x86", 0, "", false, "Invalid version nr (12x)" },
        { "empty number", { "update_linux_x86", "" },
          false, 0, "update_linux_x86", 0, "", false, "Invalid version nr ()" },
    };
    VersionServer server(200, versionsReply(kStableOnly));
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.label);
        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        const bool ok = config.parseCommandLineOptions(QStringList{ "update" } + c.args);
        ASSERT_EQ(ok, c.ok);
        EXPECT_EQ(config.isClientUpdate, c.isClientUpdate);
        EXPECT_EQ(config.clientType, c.clientType);
        if (c.queries) {
            EXPECT_FALSE(config.isReady);
            ASSERT_TRUE(vxtest::waitForCount(ready, 1));
            EXPECT_TRUE(queryDone(config));
        }
        EXPECT_EQ(config.isReady, c.ok);
        EXPECT_EQ(ready.count(), c.queries ? 1 : 0);
        EXPECT_EQ(config.versionNumber, c.versionNumber);
        EXPECT_EQ(config.versionString, c.versionString);
        if (c.fatal.isEmpty()) {
            EXPECT_EQ(fatal.count(), 0);
        } else {
            ASSERT_EQ(fatal.count(), 1);
            EXPECT_EQ(fatal.first().first().toString(), c.fatal);
        }
    }
}

TEST_F(ConfigurationTest, ChannelSearchTable)
{
    struct Case
    {
        const char* label;
        QByteArray configIni; // null: no file
        QByteArray appIni;    // null: no file
        int channel;
        int versionNumber;    // with "9" on the command line
        QString baseUrl;
    };
    const Case cases[] = {
        { "no update.ini anywhere", QByteArray(), QByteArray(), 0, 9, kDefaultBaseUrl },
        { "alpha revision wins over the command line",
          "[Channel]\nalpha=http://alpha.example/tree\nalphaRevno=7\n", QByteArray(),
          2, 7, "http://alpha.example/tree/" },
        { "alpha URL keeps its slash, unreadable revision reads 0",
          QByteArray(), "[Channel]\nalpha=http://alpha.example/t/\nalphaRevno=x7\n",
          2, 9, "http://alpha.example/t/" },
        { "Beta read when beta is false", "[Channel]\nbeta=false\nBeta=true\n", QByteArray(),
          1, 9, kDefaultBaseUrl },
        { "beta", "[Channel]\nbeta=true\n", QByteArray(), 1, 9, kDefaultBaseUrl },
        { "empty alpha falls back to beta", "[Channel]\nalpha=\nbeta=true\n", QByteArray(),
          1, 9, kDefaultBaseUrl },
        { "alpha beats beta", "[Channel]\nbeta=true\nalpha=http://a\n", QByteArray(),
          2, 9, "http://a/" },
        { "keys are case-sensitive", "[Channel]\nBETA=true\nALPHA=http://a\n", QByteArray(),
          0, 9, kDefaultBaseUrl },
        { "only the first file found is read",
          "[update]\nstreams=2\n", "[Channel]\nalpha=http://a\nalphaRevno=7\n", 0, 9, kDefaultBaseUrl },
        { "application directory used when the configuration has none",
          QByteArray(), "[Channel]\nBeta=true\n", 1, 9, kDefaultBaseUrl },
        // Settings booleans, as earlier updaters read them: any text but "", "0" and "false" is
        // true; a value that is no boolean at all (a list) keeps the default.
        { "beta=yes", "[Channel]\nbeta=yes\n", QByteArray(), 1, 9, kDefaultBaseUrl },
        { "beta=on", "[Channel]\nbeta=on\n", QByteArray(), 1, 9, kDefaultBaseUrl },
        { "beta=2", "[Channel]\nbeta=2\n", QByteArray(), 1, 9, kDefaultBaseUrl },
        { "beta=false", "[Channel]\nbeta=FALSE\n", QByteArray(), 0, 9, kDefaultBaseUrl },
        { "beta=garbage", "[Channel]\nbeta=maybe\nBeta=yes please\n", QByteArray(),
          1, 9, kDefaultBaseUrl },
        { "beta that is a list", "[Channel]\nbeta=a, b\n", QByteArray(), 0, 9, kDefaultBaseUrl },
        { "beta as a number", "[Channel]\nbeta=1\n", QByteArray(), 1, 9, kDefaultBaseUrl },
        { "negative alpha revision reads 0",
          "[Channel]\nalpha=http://a\nalphaRevno=-3\n", QByteArray(), 2, 9, "http://a/" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QFile::remove(configIniPath());
        removeAppIni();
        if (!c.configIni.isNull()) {
            ASSERT_TRUE(writeIni(configIniPath(), c.configIni));
        }
        if (!c.appIni.isNull()) {
            ASSERT_TRUE(writeIni(appIniPath(), c.appIni));
        }
        Configuration::updateBaseUrl.clear();
        Configuration config;
        ASSERT_TRUE(config.parseCommandLineOptions({ "update", "update_linux_x86", "9" }));
        EXPECT_EQ(config.channel, c.channel);
        EXPECT_EQ(config.versionNumber, c.versionNumber);
        EXPECT_EQ(Configuration::updateBaseUrl, c.baseUrl);
        EXPECT_TRUE(config.isReady);
    }
}

TEST_F(ConfigurationTest, DefaultBaseUrlIsPlainHttpEndingInSlash)
{
    // The host and path are deployment settings; downloads append the version to this URL.
    EXPECT_TRUE(kDefaultBaseUrl.startsWith("http://")) << kDefaultBaseUrl.toStdString();
    EXPECT_TRUE(kDefaultBaseUrl.endsWith("/")) << kDefaultBaseUrl.toStdString();
}

TEST_F(ConfigurationTest, ConfigDirFromEnvironmentOrHome)
{
    QTemporaryDir home;
    EnvOverride homeEnv("HOME", home.path().toUtf8());
    {
        EnvOverride env("VX3_CONFIG_DIR", "/srv/vx3conf");
        EXPECT_EQ(Configuration::configDir(), QString("/srv/vx3conf/"));
    }
    {
        EnvOverride env("VX3_CONFIG_DIR", "/srv/vx3conf/");
        EXPECT_EQ(Configuration::configDir(), QString("/srv/vx3conf/"));
    }
    {
        EnvOverride env("VX3_CONFIG_DIR", "");
        EXPECT_EQ(Configuration::configDir(), home.path() + "/.vx3client/");
    }
    {
        EnvOverride env("VX3_CONFIG_DIR", QByteArray());
        EXPECT_EQ(Configuration::configDir(), home.path() + "/.vx3client/");
        // The home folder's update.ini is the first candidate.
        ASSERT_TRUE(QDir().mkpath(home.path() + "/.vx3client"));
        ASSERT_TRUE(writeIni(home.path() + "/.vx3client/update.ini", "[Channel]\nbeta=true\n"));
        Configuration config;
        config.getUpdateChannel();
        EXPECT_EQ(config.channel, 1);
    }
}

TEST_F(ConfigurationTest, CreateTempDirSkipsTakenNames)
{
    QTemporaryDir tmp;
    EnvOverride tmpEnv("TMPDIR", tmp.path().toUtf8());
    ASSERT_TRUE(QDir().mkpath(tmp.path() + "/voxmere_temp_0"));
    ASSERT_TRUE(vxtest::writeFile(tmp.path() + "/voxmere_temp_1", "a file takes the name too"));
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    ASSERT_TRUE(config.createTempDir());
    EXPECT_EQ(config.workDir, tmp.path() + "/voxmere_temp_2");
    expectFreshPrivateFolder(config.workDir);
    EXPECT_EQ(fatal.count(), 0);
}

// A temp folder shared like the system's, TMPDIR pointing at it, and another local user to act
// in it.
class SharedTempTest : public ConfigurationTest
{
protected:
    void SetUp() override
    {
        ConfigurationTest::SetUp();
        const QString unavailable = vxtest::otherUserUnavailable();
        if (!unavailable.isEmpty())
            GTEST_SKIP() << unavailable.toStdString();
        tmp = root.path() + "/tmp";
        ASSERT_TRUE(vxtest::shareLikeSystemTemp(root.path(), tmp));
        tmpEnv.reset(new EnvOverride("TMPDIR", tmp.toUtf8()));
    }

    QTemporaryDir root;
    QString tmp;
    std::unique_ptr<EnvOverride> tmpEnv;
};

// The work folder a run gets is always new, ours and private, whatever names other local users
// made first: folders, links to their own folders, links to where they could make one later.
TEST_F(SharedTempTest, CreateTempDirNeverTakesANameAnotherUserMadeFirst)
{
    ASSERT_TRUE(vxtest::runAsOtherUser(tmp, "mkdir voxmere_temp_0 theirs; ln -s theirs voxmere_temp_1; "
                                            "ln -s later voxmere_temp_2"));
    Configuration config;
    ASSERT_TRUE(config.createTempDir());
    EXPECT_EQ(config.workDir, tmp + "/voxmere_temp_3");
    expectFreshPrivateFolder(config.workDir);
    EXPECT_TRUE(QDir(tmp + "/voxmere_temp_0").isEmpty());
    EXPECT_TRUE(QDir(tmp + "/theirs").isEmpty());
    EXPECT_FALSE(QFileInfo::exists(tmp + "/later"));
    EXPECT_TRUE(QFileInfo(tmp + "/voxmere_temp_2").isSymLink());

    // With every numbered name taken, the run still gets a work folder of its own.
    ASSERT_TRUE(vxtest::runAsOtherUser(tmp, "perl -e 'mkdir \"voxmere_temp_$_\" for 4..999'"));
    ASSERT_TRUE(config.createTempDir());
    EXPECT_TRUE(QRegularExpression("^" + QRegularExpression::escape(tmp) + "/voxmere_temp_[A-Za-z0-9]{6}$")
                    .match(config.workDir).hasMatch()) << config.workDir.toStdString();
    expectFreshPrivateFolder(config.workDir);
    EXPECT_TRUE(TrustedFolder::isOwnWorkFolder(config.workDir));
}

// Another user makes and removes voxmere_temp_0 as fast as it can, so that the name is free when
// looked at and taken an instant later.
TEST_F(SharedTempTest, CreateTempDirLosesNoRaceToAnotherUser)
{
    std::unique_ptr<QProcess> attacker(vxtest::startAsOtherUser(
        tmp, "perl", {"-e", "while (1) { mkdir 'voxmere_temp_0'; rmdir 'voxmere_temp_0' }"}));
    ASSERT_EQ(attacker->state(), QProcess::Running);
    int foreign = 0;
    for (int attempt = 0; attempt < 400; ++attempt) {
        Configuration config;
        ASSERT_TRUE(config.createTempDir());
        // A folder the other user made is gone again, or is theirs.
        struct stat status;
        if (::lstat(QFile::encodeName(config.workDir).constData(), &status) != 0
            || status.st_uid != ::geteuid() || (status.st_mode & 07777) != 0700)
            ++foreign;
        else
            ASSERT_TRUE(QDir().rmdir(config.workDir));
    }
    attacker->kill();
    attacker->waitForFinished();
    EXPECT_EQ(foreign, 0);
}

// Whoever may rename entries of the temp folder can swap a private folder there for one of
// theirs: the work folder is made only where its owner or the sticky bit prevents that.
TEST_F(ConfigurationTest, CreateTempDirOnlyWhereOthersCannotSwapTheFolder)
{
    const QString cannotCreate = "Unable to create temp directory.";
    struct Case { const char* label; mode_t mode; bool otherOwner; QString fatal; };
    const Case cases[] = {
        {"private", 0700, false, ""},
        {"like /tmp", 01777, false, ""},
        {"writable by all, not sticky", 0777, false, cannotCreate},
        {"writable by the group, not sticky", 0770, false, cannotCreate},
        {"owned by another user", 0755, true, cannotCreate},
        {"missing", 0, false, "Unable to get temp directory."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.otherOwner && ::geteuid() != 0) {
            std::printf("skipping \"%s\": needs root to give a folder away\n", c.label);
            continue;
        }
        QTemporaryDir root;
        const QString tmp = root.path() + "/tmp";
        if (c.mode != 0) {
            ASSERT_TRUE(QDir().mkdir(tmp));
            ASSERT_EQ(::chmod(QFile::encodeName(tmp).constData(), c.mode), 0);
        }
        if (c.otherOwner) {
            ASSERT_EQ(::chown(QFile::encodeName(tmp).constData(), vxtest::otherUserId(), gid_t(-1)), 0);
        }
        EnvOverride tmpEnv("TMPDIR", tmp.toUtf8());
        Configuration config;
        QSignalSpy fatal(&config, &Configuration::fatalError);
        EXPECT_EQ(config.createTempDir(), c.fatal.isEmpty());
        if (c.fatal.isEmpty()) {
            EXPECT_EQ(config.workDir, tmp + "/voxmere_temp_0");
            EXPECT_EQ(fatal.count(), 0);
        } else {
            EXPECT_TRUE(config.workDir.isEmpty());
            ASSERT_EQ(fatal.count(), 1);
            EXPECT_EQ(fatal.first().first().toString(), c.fatal);
            EXPECT_FALSE(QFileInfo::exists(tmp + "/voxmere_temp_0"));
        }
    }
}

TEST_F(ConfigurationTest, CreateTempDirReportsFatalErrorWhenNothingCanBeMade)
{
    QTemporaryDir tmp;
    const QString notADirectory = tmp.path() + "/plainfile";
    ASSERT_TRUE(vxtest::writeFile(notADirectory, "x"));
    EnvOverride tmpEnv("TMPDIR", notADirectory.toUtf8());
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    EXPECT_FALSE(config.createTempDir());
    EXPECT_TRUE(config.workDir.isEmpty());
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal.first().first().toString(), QString("Unable to create temp directory."));

    // initalizeStart fails the same way when it has to make the directory ...
    Configuration second;
    QSignalSpy secondFatal(&second, &Configuration::fatalError);
    EXPECT_FALSE(second.initalizeStart(QString(), QString()));
    EXPECT_EQ(secondFatal.count(), 1);
    // ... and does not need it when the session names one.
    EXPECT_TRUE(second.initalizeStart("/work/session", "/opt/vx3"));
    EXPECT_EQ(second.workDir, QString("/work/session"));
    EXPECT_EQ(second.installDir, QString("/opt/vx3"));
}

TEST_F(ConfigurationTest, InitalizeStartDefaultsToTempAndApplicationDirectory)
{
    QTemporaryDir tmp;
    EnvOverride tmpEnv("TMPDIR", tmp.path().toUtf8());
    Configuration config;
    ASSERT_TRUE(config.initalizeStart(QString(), QString()));
    EXPECT_EQ(config.workDir, tmp.path() + "/voxmere_temp_0");
    EXPECT_EQ(config.installDir, Configuration::appDirPath());

    // The client phase runs from its work folder: it never falls back to it.
    Configuration client;
    client.isClientUpdate = 1;
    EXPECT_FALSE(client.initalizeStart(tmp.path() + "/voxmere_temp_0", QString()));
    EXPECT_TRUE(client.installDir.isEmpty());
}

TEST_F(ConfigurationTest, ReadUpdateIniDefaultsAndBounds)
{
    struct Case { const char* label; QByteArray appIni; QString proxy; int streams; };
    const Case cases[] = {
        { "no file", QByteArray(), "", 6 },
        { "empty group", "[update]\n", "", 6 },
        { "two streams and a proxy", "[update]\nstreams=2\nproxy=http://proxy.example:3128\n",
          "http://proxy.example:3128", 2 },
        { "zero streams", "[update]\nstreams=0\n", "", 6 },
        { "negative streams", "[update]\nstreams=-4\n", "", 6 },
        { "not a number", "[update]\nstreams=many\n", "", 6 },
        { "other group only", "[Channel]\nstreams=2\nproxy=x\n", "", 6 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        removeAppIni();
        if (!c.appIni.isNull()) {
            ASSERT_TRUE(writeIni(appIniPath(), c.appIni));
        }
        Configuration config;
        config.streams = 99;
        config.proxy = "stale";
        config.readUpdateIni();
        EXPECT_EQ(config.proxy, c.proxy);
        EXPECT_EQ(config.streams, c.streams);
    }
}

TEST_F(ConfigurationTest, ReadUpdateIniIgnoresConfigurationDirectory)
{
    ASSERT_TRUE(writeIni(configIniPath(), "[update]\nstreams=2\nproxy=http://p\n"));
    Configuration config;
    config.readUpdateIni();
    EXPECT_EQ(config.streams, 6);
    EXPECT_TRUE(config.proxy.isEmpty());
}

TEST_F(ConfigurationTest, VersionAnswerErrorsReachFatalError)
{
    struct Case { const char* label; QByteArray channelIni; const char* reply; QString fatal; };
    const Case cases[] = {
        { "channel missing from the answer", "[Channel]\nbeta=true\n", kStableOnly,
          "Update server returned no version" },
        { "number that is not an int", QByteArray(),
          "licenseAgreementId: 1 channels { name: \"stable\" version_number: -5 version_string: \"x\" }",
          "Update server returned invalid version nr (4294967291)" },
        { "channel key differs in case", QByteArray(),
          "licenseAgreementId: 1 channels { name: \"Stable\" version_number: 5 version_string: \"x\" }",
          "Update server returned no version" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        QFile::remove(configIniPath());
        if (!c.channelIni.isNull()) {
            ASSERT_TRUE(writeIni(configIniPath(), c.channelIni));
        }
        VersionServer server(200, versionsReply(c.reply));
        Configuration config;
        QSignalSpy ready(&config, &Configuration::ready);
        QSignalSpy fatal(&config, &Configuration::fatalError);
        ASSERT_TRUE(config.parseCommandLineOptions({ "update" }));
        ASSERT_TRUE(vxtest::waitForCount(fatal, 1));
        EXPECT_TRUE(queryDone(config));
        EXPECT_EQ(fatal.first().first().toString(), c.fatal);
        EXPECT_EQ(fatal.count(), 1);
        EXPECT_EQ(ready.count(), 0);
        EXPECT_FALSE(config.isReady);
        EXPECT_EQ(server.requests(), 1);
    }
}

TEST_F(ConfigurationTest, AlphaAnswerSetsVersionOfAlphaChannel)
{
    ASSERT_TRUE(writeIni(configIniPath(), "[Channel]\nalpha=http://alpha.example/img\n"));
    VersionServer server(200, versionsReply(
        "licenseAgreementId: 1 "
        "channels { name: \"stable\" version_number: 1 version_string: \"s\" } "
        "channels { name: \"alpha\" version_number: 77 version_string: \"3.7-alpha\" }"));
    Configuration config;
    QSignalSpy ready(&config, &Configuration::ready);
    ASSERT_TRUE(config.parseCommandLineOptions({ "update", "--clientupdate" }));
    ASSERT_TRUE(vxtest::waitForCount(ready, 1));
    EXPECT_EQ(config.channel, 2);
    EXPECT_EQ(config.versionNumber, 77);
    EXPECT_EQ(config.versionString, QString("3.7-alpha"));
    EXPECT_EQ(Configuration::updateBaseUrl, QString("http://alpha.example/img/"));
    EXPECT_TRUE(queryDone(config));
}

TEST_F(ConfigurationTest, EmptyAnswerShowsErrorBoxAndQuitsApplication)
{
    VersionServer server(404, versionsReply(kStableOnly));
    QObject guard;
    QString shownTitle;
    QString shownText;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, &guard, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            QMessageBox* box = qobject_cast<QMessageBox*>(widget);
            if (box && box->isVisible()) {
                shownTitle = box->windowTitle();
                shownText = box->text();
                box->button(QMessageBox::Abort)->click();
            }
        }
    });
    closer.start(10);
    // Ends the application loop should the quit never come.
    QTimer::singleShot(10000, &guard, [] { QCoreApplication::exit(99); });

    Configuration config;
    QSignalSpy ready(&config, &Configuration::ready);
    QSignalSpy fatal(&config, &Configuration::fatalError);
    ASSERT_TRUE(config.parseCommandLineOptions({ "update" }));
    EXPECT_EQ(QCoreApplication::exec(), 0);
    closer.stop();
    EXPECT_EQ(shownTitle, QString("Error"));
    EXPECT_EQ(shownText, QString("Failed to query latest client\nversion from update server."));
    EXPECT_EQ(ready.count(), 0);
    EXPECT_EQ(fatal.count(), 0);
    EXPECT_FALSE(config.isReady);
    EXPECT_TRUE(queryDone(config));

    // So does a version text over 256 characters, but for its own channel only.
    VersionServer longServer(200, versionsReply(("licenseAgreementId: 1 channels { name: \"stable\" version_number: 5 "
                                                 "version_string: \"" + std::string(257, 's') + "\" } channels { "
                                                 "name: \"beta\" version_number: 6 version_string: \"b\" }").c_str()));
    Configuration onStable;
    shownText.clear();
    closer.start(10);
    ASSERT_TRUE(onStable.parseCommandLineOptions({ "update" }));
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(shownText, QString("Failed to query latest client\nversion from update server."));
    ASSERT_TRUE(writeIni(configIniPath(), "[Channel]\nbeta=true\n"));
    Configuration onBeta;
    QSignalSpy betaReady(&onBeta, &Configuration::ready);
    ASSERT_TRUE(onBeta.parseCommandLineOptions({ "update" }));
    ASSERT_TRUE(vxtest::waitForCount(betaReady, 1));
    EXPECT_EQ(onBeta.versionString, QString("b"));
}

TEST(ConfigurationStatics, NamesAndClientBinary)
{
    EXPECT_EQ(Configuration::defaultClientType(true), QString("client_linux_x86"));
    EXPECT_EQ(Configuration::defaultClientType(false), QString("update_linux_x86"));
    EXPECT_EQ(Configuration::runScriptName(), QString("vx3client_runscript.sh"));
    EXPECT_EQ(Configuration::appDirPath(), QCoreApplication::applicationDirPath());

    QTemporaryDir dir;
    EXPECT_FALSE(Configuration::clientBinaryExists(QString()));
    EXPECT_FALSE(Configuration::clientBinaryExists(dir.path()));
    ASSERT_TRUE(vxtest::writeFile(dir.path() + "/vx3client_linux_amd64", "x"));
    EXPECT_TRUE(Configuration::clientBinaryExists(dir.path()));
}
