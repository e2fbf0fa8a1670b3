#include "configuration.h"
#include "cryptwrapper.h"
#include "enginetestutil.h"
#include "eventloop.h"
#include "httpservers.h"
#include "inidownloadtaskspecification.h"
#include "testpaths.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using enginetest::put;
using enginetest::texts;

namespace {

const QByteArray kIni = "[files]\na.txt=00::1\n";
const char kVerifyFailed[] = "Could not verify the product ini file. Aborting";

// One nginx over a root that each test fills under a version number of its own.
class IniDownloadTask : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // The engine does this before any task runs.
        crypt_init();
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
        if (!enginetest::signsWithBuiltinKey())
            GTEST_SKIP() << "built with another public key";
        static int nextVersion = 100;
        version = nextVersion;
        nextVersion += 100; // room for the versions a test takes itself
        Configuration::updateBaseUrl = nginx->baseUrl();
        config.versionNumber = version;
        config.workDir = work.path();
        setPhase(1);
    }

    void setPhase(int clientUpdate)
    {
        config.isClientUpdate = clientUpdate;
        ini = IniDownloadTaskSpecification::productIniName(clientUpdate == 1);
    }

    QString serverFile(const QString& name) const
    {
        return root->path() + "/" + QString::number(version) + "/" + name;
    }
    QString workFile(const QString& name) const { return work.path() + "/" + name; }

    // Runs the task to its end; the spies are filled on the way.
    void run(IniDownloadTaskSpecification& task)
    {
        messages.reset(new QSignalSpy(&task, &TaskSpecification::message));
        canceled.reset(new QSignalSpy(&task, &TaskSpecification::canceled));
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.execute();
        ASSERT_TRUE(vxtest::runUntil([&] { return finished.count() + canceled->count() > 0; },
                                     20000));
        // Nothing may end the task a second time afterwards.
        vxtest::runFor(50);
        EXPECT_EQ(finished.count() + canceled->count(), 1);
    }

    static QList<qreal> weightsOf(const IniDownloadTaskSpecification& task)
    {
        QList<qreal> weights;
        for (const TaskSpecification* sub : task.getTasks())
            weights << sub->getWeight();
        return weights;
    }

    static QTemporaryDir* root;
    static vxtest::NginxServer* nginx;
    QTemporaryDir work;
    QNetworkAccessManager nam;
    Configuration config;
    int version = 0;
    QString ini;
    std::unique_ptr<QSignalSpy> messages;
    std::unique_ptr<QSignalSpy> canceled;
};

QTemporaryDir* IniDownloadTask::root = nullptr;
vxtest::NginxServer* IniDownloadTask::nginx = nullptr;

TEST(IniDownloadTaskNames, DifferPerPhase)
{
    EXPECT_EQ(IniDownloadTaskSpecification::productIniName(true), "vx3_client_linux_x86.ini");
    EXPECT_EQ(IniDownloadTaskSpecification::productIniName(false), "update_linux_x86.ini");
}

TEST_F(IniDownloadTask, FetchesUnpacksAndVerifiesInBothPhases)
{
    for (int phase : {0, 1}) {
        SCOPED_TRACE(phase);
        setPhase(phase);
        ASSERT_TRUE(enginetest::publishProductIni(root->path(), version, ini, kIni));
        if (phase == 1) {
            ASSERT_TRUE(put(serverFile(ini + "._lzma2_"), enginetest::packedByLibrary(kIni)));
        }

        IniDownloadTaskSpecification task(&nam, &config, nullptr, 0.1);
        run(task);
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
        EXPECT_DOUBLE_EQ(task.getProgress(), 0.1);
        EXPECT_EQ(texts(*messages).value(0), "Download / check product ini");
        EXPECT_EQ(vxtest::readFile(workFile(ini)), kIni);
        // The packed ini stays, so that a later run of the version finds everything.
        EXPECT_TRUE(QFile::exists(workFile(ini + "._lzma2_")));
        EXPECT_TRUE(QFile::exists(workFile(ini + ".sig")));

        const QList<qreal> weights = weightsOf(task);
        ASSERT_EQ(weights.size(), 4);
        EXPECT_DOUBLE_EQ(weights[0], 0.3333);
        EXPECT_DOUBLE_EQ(weights[2], 0.3333);
        EXPECT_NEAR(weights[0] + weights[1] + weights[2] + weights[3], 1.0, 1e-9);
    }
    // Both phases share the work directory without touching each other's files.
    EXPECT_TRUE(QFile::exists(workFile("update_linux_x86.ini")));
    EXPECT_TRUE(QFile::exists(workFile("vx3_client_linux_x86.ini")));
}

// Only what is missing locally is published, so fetching anything else would fail the task.
TEST_F(IniDownloadTask, FetchesOnlyWhatIsMissing)
{
    struct Case {
        bool iniPresent;
        bool sigPresent;
        int subtasks;
        qreal checkWeight;
    };
    const Case cases[] = {
        {true, true, 1, 1.0},
        {true, false, 2, 1.0 - 0.3333},
        {false, true, 3, 1.0 - 0.3333 - IniDownloadTaskSpecification::kUnpackWeight},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString("ini %1, sig %2").arg(c.iniPresent).arg(c.sigPresent).toStdString());
        QTemporaryDir caseWork;
        config.workDir = caseWork.path();
        config.versionNumber = version++;
        const QString local = caseWork.path() + "/" + ini;
        const QString server = root->path() + "/" + QString::number(config.versionNumber) + "/" + ini;
        const QByteArray sig = enginetest::signature(kIni);
        ASSERT_TRUE(c.iniPresent ? put(local, kIni) : put(server + "._lzma2_", enginetest::packed(kIni)));
        ASSERT_TRUE(c.sigPresent ? put(local + ".sig", sig) : put(server + ".sig", sig));

        IniDownloadTaskSpecification task(&nam, &config, nullptr, 1.0);
        run(task);
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
        const QList<qreal> weights = weightsOf(task);
        ASSERT_EQ(weights.size(), c.subtasks);
        EXPECT_NEAR(weights.last(), c.checkWeight, 1e-9);
        EXPECT_EQ(vxtest::readFile(local), kIni);
    }
}

TEST_F(IniDownloadTask, FailsOnceWhenTheSignatureDoesNotMatch)
{
    QTemporaryDir caseWork;
    config.workDir = caseWork.path();
    config.versionNumber = version++;
    const QByteArray tampered = "[files]\na.txt=11::1\n";
    const QString server = root->path() + "/" + QString::number(config.versionNumber) + "/" + ini;
    ASSERT_TRUE(put(server + "._lzma2_", enginetest::packed(tampered)));
    ASSERT_TRUE(put(server + ".sig", enginetest::signature(kIni)));

    IniDownloadTaskSpecification task(&nam, &config, nullptr, 1.0);
    run(task);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(canceled->count(), 1);
    const QStringList said = texts(*messages);
    EXPECT_TRUE(said.contains(kVerifyFailed)) << said.join(" | ").toStdString();
    EXPECT_EQ(said.last(), kVerifyFailed);
    // The rejected files are gone, so that the next run fetches them afresh.
    EXPECT_TRUE(enginetest::treeOf(caseWork.path()).isEmpty());
}

// A signature broken on the way (one byte flipped, or cut short) fails the run and takes the
// cached ini files with it: the next run fetches them again and succeeds once the server's are
// right, instead of failing on the kept files forever.
TEST_F(IniDownloadTask, BrokenSignatureIsFetchedAgainByTheNextRun)
{
    const QByteArray sig = enginetest::signature(kIni);
    QByteArray flipped = sig;
    flipped[40] = char(flipped[40] ^ 0x01);
    struct Case {
        const char* name;
        QByteArray broken;
    };
    for (const Case& c : {Case{"flipped byte", flipped}, Case{"truncated", sig.left(100)}}) {
        SCOPED_TRACE(c.name);
        QTemporaryDir caseWork;
        config.workDir = caseWork.path();
        config.versionNumber = version++;
        const QString server = root->path() + "/" + QString::number(config.versionNumber) + "/" + ini;
        ASSERT_TRUE(put(server + "._lzma2_", enginetest::packed(kIni)));
        ASSERT_TRUE(put(server + ".sig", c.broken));
        ASSERT_TRUE(put(caseWork.path() + "/unrelated.txt", "keep"));

        IniDownloadTaskSpecification first(&nam, &config, nullptr, 1.0);
        run(first);
        EXPECT_EQ(first.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_EQ(texts(*messages).last(), kVerifyFailed);
        EXPECT_EQ(enginetest::treeOf(caseWork.path()).keys(), QStringList{"unrelated.txt"});

        ASSERT_TRUE(put(server + ".sig", sig));
        IniDownloadTaskSpecification second(&nam, &config, nullptr, 1.0);
        run(second);
        EXPECT_EQ(second.getState(), TaskSpecification::TASK_FINISHED);
        EXPECT_EQ(vxtest::readFile(caseWork.path() + "/" + ini), kIni);
        EXPECT_EQ(vxtest::readFile(caseWork.path() + "/" + ini + ".sig"), sig);
        EXPECT_EQ(vxtest::readFile(caseWork.path() + "/unrelated.txt"), "keep");
    }
}

// A cached ini that does not verify, say one cut short, is fetched again instead of failing the
// run.
TEST_F(IniDownloadTask, CutShortCachedIniIsFetchedAgain)
{
    config.versionNumber = version++;
    const QString server = root->path() + "/" + QString::number(config.versionNumber) + "/" + ini;
    const QString local = work.path() + "/" + ini;
    const QByteArray sig = enginetest::signature(kIni);
    ASSERT_TRUE(put(server + "._lzma2_", enginetest::packed(kIni)) && put(server + ".sig", sig));
    ASSERT_TRUE(put(local, kIni.left(kIni.size() / 2)) && put(local + ".sig", sig));

    IniDownloadTaskSpecification task(&nam, &config, nullptr, 1.0);
    run(task);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(vxtest::readFile(local), kIni);
}

// The packed ini may unpack to 16 MiB at most; a package declaring more is refused before
// anything is allocated or written, even with a valid signature of what it holds.
TEST_F(IniDownloadTask, PackageUnpackingBeyondTheLimitIsRefused)
{
    const int limit = int(IniDownloadTaskSpecification::kMaximumIniSize);
    ASSERT_EQ(limit, 16 << 20);
    struct Case {
        const char* name;
        int size;
        bool accepted;
    };
    for (const Case& c : {Case{"at the limit", limit, true}, Case{"one byte over", limit + 1, false}}) {
        SCOPED_TRACE(c.name);
        QTemporaryDir caseWork;
        config.workDir = caseWork.path();
        config.versionNumber = version++;
        QByteArray big = kIni;
        big += QByteArray(c.size - big.size() - 1, '#') + "\n";
        ASSERT_TRUE(enginetest::publishProductIni(root->path(), config.versionNumber, ini, big));

        IniDownloadTaskSpecification task(&nam, &config, nullptr, 1.0);
        run(task);
        if (c.accepted) {
            EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
            EXPECT_EQ(QFileInfo(caseWork.path() + "/" + ini).size(), c.size);
            continue;
        }
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_TRUE(texts(*messages).filter("Could not unpack '").size() > 0)
            << texts(*messages).join(" | ").toStdString();
        EXPECT_TRUE(enginetest::treeOf(caseWork.path()).isEmpty());
    }
}

// The ini and its signature come with no listed size: they are bounded all the same.
TEST_F(IniDownloadTask, EndlessIniOrSignatureEndsTheDownload)
{
    vxtest::FaultServer faults(root->path());
    ASSERT_TRUE(faults.start());
    Configuration::updateBaseUrl = faults.baseUrl();
    for (const QString& endless : {ini + "._lzma2_", ini + ".sig"}) {
        SCOPED_TRACE(endless.toStdString());
        QTemporaryDir caseWork;
        config.workDir = caseWork.path();
        config.versionNumber = version++;
        ASSERT_TRUE(enginetest::publishProductIni(root->path(), config.versionNumber, ini, kIni));
        const QString path = "/" + QString::number(config.versionNumber) + "/" + endless;
        ASSERT_TRUE(faults.script(path, R"([{"length": false, "endless": true}])"));

        IniDownloadTaskSpecification task(&nam, &config, nullptr, 1.0);
        run(task);
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        EXPECT_TRUE(texts(*messages).contains("Unable to download " + endless));
        EXPECT_TRUE(texts(*messages).filter(endless + " is larger than").size() > 0);
        EXPECT_TRUE(enginetest::treeOf(caseWork.path()).isEmpty());
    }
    Configuration::updateBaseUrl = nginx->baseUrl();
}

TEST_F(IniDownloadTask, FailsWithoutCheckWhenSomethingCannotBeFetched)
{
    struct Case {
        const char* name;
        bool publishIni;
        QByteArray packedIni;
        QString expected;
    };
    const QString iniName = ini;
    const Case cases[] = {
        {"nothing published", false, {}, "Unable to download " + iniName + "._lzma2_"},
        {"signature missing", true, enginetest::packed(kIni), "Unable to download " + iniName + ".sig"},
        {"packed ini is garbage", true, QByteArray("not a container at all"), "Could not unpack '"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir caseWork;
        config.workDir = caseWork.path();
        config.versionNumber = version++;
        if (c.publishIni) {
            const QString server =
                root->path() + "/" + QString::number(config.versionNumber) + "/" + ini;
            ASSERT_TRUE(put(server + "._lzma2_", c.packedIni));
            if (c.name != QString("signature missing")) {
                ASSERT_TRUE(put(server + ".sig", enginetest::signature(kIni)));
            }
        }

        IniDownloadTaskSpecification task(&nam, &config, nullptr, 1.0);
        run(task);
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
        const QStringList said = texts(*messages);
        EXPECT_FALSE(said.contains(kVerifyFailed));
        EXPECT_TRUE(said.filter(c.expected).size() > 0) << said.join(" | ").toStdString();
        EXPECT_TRUE(enginetest::treeOf(caseWork.path()).isEmpty()) << "nothing cached is kept";
    }
}

TEST_F(IniDownloadTask, ResetDropsTheStepsAndRebuildsThemFromTheFilesPresent)
{
    ASSERT_TRUE(enginetest::publishProductIni(root->path(), version, ini, kIni));
    IniDownloadTaskSpecification task(&nam, &config, nullptr, 1.0);
    run(task);
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);

    task.reset();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_IDLE);
    EXPECT_TRUE(task.getTasks().isEmpty());
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.0);

    run(task);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_EQ(task.getTasks().size(), 1);
}

} // namespace
