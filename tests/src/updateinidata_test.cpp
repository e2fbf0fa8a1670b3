// update.ini session record tests; they share the configuration tests' binary and its private
// application directory, and remove the file they write.
#include "initestutil.h"
#include "testpaths.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using vxtest::writeIni;

class UpdateIniDataTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        removeIni();
        ASSERT_TRUE(session.isValid());
    }
    void TearDown() override
    {
        removeIni();
        EXPECT_FALSE(QFile::exists(iniPath()));
    }
    static QString iniPath()
    {
        return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("update.ini"));
    }
    static void removeIni()
    {
        QFile::remove(iniPath());
        QFile::remove(iniPath() + QStringLiteral(".lock"));
    }
    static QVariant read(const QString& path, const QString& key)
    {
        return QSettings(path, QSettings::IniFormat).value(key);
    }

    QTemporaryDir session; // an existing working directory
};

} // namespace

TEST_F(UpdateIniDataTest, PathIsInApplicationDirectory)
{
    EXPECT_EQ(UpdateIniData::updateIniPath(), iniPath());
    EXPECT_TRUE(QDir::isAbsolutePath(UpdateIniData::updateIniPath()));
}

TEST_F(UpdateIniDataTest, GetAcceptsOnlyValidRecords)
{
    struct Case { const char* label; QByteArray current; bool valid; };
    const QByteArray dir = session.path().toUtf8();
    const Case cases[] = {
        { "complete", "version=12\ndir=" + dir + "\nvx3dir=/opt/vx3\ntype=client_linux_x86\n", true },
        { "empty vx3dir", "version=12\ndir=" + dir + "\nvx3dir=\ntype=client_linux_x86\n", true },
        { "no vx3dir", "version=12\ndir=" + dir + "\ntype=client_linux_x86\n", true },
        { "version 12a", "version=12a\ndir=" + dir + "\nvx3dir=/opt/vx3\ntype=client_linux_x86\n", false },
        { "no version", "dir=" + dir + "\nvx3dir=/opt/vx3\ntype=client_linux_x86\n", false },
        { "empty type", "version=12\ndir=" + dir + "\nvx3dir=/opt/vx3\ntype=\n", false },
        { "no dir", "version=12\nvx3dir=/opt/vx3\ntype=client_linux_x86\n", false },
        { "dir that is gone", "version=12\ndir=" + dir + "/gone\nvx3dir=/opt/vx3\ntype=client_linux_x86\n", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(writeIni(iniPath(), "[Channel]\nbeta=true\n[current]\n" + c.current));
        int version = -1;
        QString type = "sentinel", outDir = "sentinel", vx3dir = "sentinel";
        EXPECT_EQ(UpdateIniData::get(&version, &type, &outDir, &vx3dir), c.valid);
        if (c.valid) {
            EXPECT_EQ(version, 12);
            EXPECT_EQ(type, QString("client_linux_x86"));
            EXPECT_EQ(outDir, session.path());
            EXPECT_EQ(vx3dir.isEmpty(), !c.current.contains("/opt/vx3"));
        } else {
            EXPECT_EQ(version, -1);
            EXPECT_EQ(type, QString("sentinel"));
            EXPECT_EQ(outDir, QString("sentinel"));
            EXPECT_EQ(vx3dir, QString("sentinel"));
        }
    }
}

TEST_F(UpdateIniDataTest, GetWithoutFileOrGroupIsInvalid)
{
    EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(writeIni(iniPath(), "[update]\nversion=3\ndir=/tmp\ntype=x\n"));
    EXPECT_FALSE(UpdateIniData::get(nullptr, nullptr, nullptr, nullptr));
}

TEST_F(UpdateIniDataTest, GetWithNullTypeStillChecksType)
{
    const QByteArray dir = session.path().toUtf8();
    ASSERT_TRUE(writeIni(iniPath(), "[current]\nversion=4\ndir=" + dir + "\n"));
    int version = -1;
    EXPECT_FALSE(UpdateIniData::get(&version, nullptr, nullptr, nullptr));
    EXPECT_EQ(version, -1);
    ASSERT_TRUE(writeIni(iniPath(), "[current]\nversion=4\ndir=" + dir + "\ntype=t\n"));
    EXPECT_TRUE(UpdateIniData::get(&version, nullptr, nullptr, nullptr));
    EXPECT_EQ(version, 4);
}

TEST_F(UpdateIniDataTest, ModifyWritesRecordAndLeavesOtherGroupsAlone)
{
    ASSERT_TRUE(writeIni(iniPath(),
        "[Channel]\nalpha=http://alpha.example/\nalphaRevno=7\n"
        "[update]\nproxy=http://proxy.example:3128\nstreams=3\n"
        "[current]\nversion=1\ndir=/old\nvx3dir=/oldvx3\ntype=old\n"));
    ASSERT_TRUE(UpdateIniData::modify(3200, session.path(), "/opt/vx3", "update_linux_x86"));

    int version = 0;
    QString type, dir, vx3dir;
    ASSERT_TRUE(UpdateIniData::get(&version, &type, &dir, &vx3dir));
    EXPECT_EQ(version, 3200);
    EXPECT_EQ(type, QString("update_linux_x86"));
    EXPECT_EQ(dir, session.path());
    EXPECT_EQ(vx3dir, QString("/opt/vx3"));

    EXPECT_EQ(read(iniPath(), "Channel/alpha").toString(), QString("http://alpha.example/"));
    EXPECT_EQ(read(iniPath(), "Channel/alphaRevno").toInt(), 7);
    EXPECT_EQ(read(iniPath(), "update/proxy").toString(), QString("http://proxy.example:3128"));
    EXPECT_EQ(read(iniPath(), "update/streams").toInt(), 3);
    EXPECT_FALSE(QFile::exists(iniPath() + ".lock"));
}

TEST_F(UpdateIniDataTest, ModifyTempIniCopiesRecordWithClientTypeAndTheSettings)
{
    ASSERT_TRUE(writeIni(iniPath(), "[update]\nstreams=3\nproxy=\"http://p:1\"\n[Channel]\nalpha=http://a/\n"
                                    "alphaRevno=9\n[other]\nx=1\n"));
    ASSERT_TRUE(UpdateIniData::modify(55, session.path(), "/opt/vx3", "update_linux_x86"));
    const QString copy = session.path() + "/update.ini";
    // Settings left in the folder by an earlier run give way to the installation's.
    ASSERT_TRUE(writeIni(copy, "[update]\nstreams=5\nproxy=http://old:1\n"));
    ASSERT_TRUE(UpdateIniData::modifyTempIni(session.path()));

    QSettings settings(copy, QSettings::IniFormat);
    EXPECT_EQ(settings.childGroups(), (QStringList{ "Channel", "current", "update" }));
    EXPECT_EQ(settings.value("update/streams").toInt(), 3);
    EXPECT_EQ(settings.value("update/proxy").toString(), QString("http://p:1"));
    EXPECT_EQ(settings.value("Channel/alpha").toString(), QString("http://a/"));
    EXPECT_EQ(settings.value("Channel/alphaRevno").toInt(), 9);
    EXPECT_EQ(settings.value("current/version").toInt(), 55);
    EXPECT_EQ(settings.value("current/dir").toString(), session.path());
    EXPECT_EQ(settings.value("current/vx3dir").toString(), QString("/opt/vx3"));
    EXPECT_EQ(settings.value("current/type").toString(), QString("client_linux_x86"));
    // The source record keeps its own type.
    EXPECT_EQ(read(iniPath(), "current/type").toString(), QString("update_linux_x86"));
}

TEST_F(UpdateIniDataTest, ModifyTempIniFailsWithoutValidSourceOrWritableTarget)
{
    EXPECT_FALSE(UpdateIniData::modifyTempIni(session.path()));
    EXPECT_FALSE(QFile::exists(session.path() + "/update.ini"));

    ASSERT_TRUE(UpdateIniData::modify(55, session.path(), "", "update_linux_x86"));
    const QString plainFile = session.path() + "/plainfile";
    ASSERT_TRUE(vxtest::writeFile(plainFile, "x"));
    EXPECT_FALSE(UpdateIniData::modifyTempIni(plainFile)); // no folder can be made below a file
}

TEST_F(UpdateIniDataTest, ModifyFailsInUnwritableApplicationDirectory)
{
    const QByteArray appDir = QFile::encodeName(QCoreApplication::applicationDirPath());
    if (geteuid() == 0) {
        // Root writes anywhere; an unprivileged child meets the folder's permissions.
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(3);
            if (access(appDir.constData(), W_OK) == 0)
                _exit(4);
            _exit(UpdateIniData::modify(1, "/tmp", "", "t") ? 1 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: write succeeded, 3: could not drop rights, 4: folder writable";
    } else {
        struct stat st;
        ASSERT_EQ(stat(appDir.constData(), &st), 0);
        ASSERT_EQ(chmod(appDir.constData(), 0555), 0);
        const bool written = UpdateIniData::modify(1, "/tmp", "", "t");
        chmod(appDir.constData(), st.st_mode & 07777);
        EXPECT_FALSE(written);
    }
    EXPECT_FALSE(QFile::exists(iniPath()));
}

TEST_F(UpdateIniDataTest, RemoveRecordKeepsTheOtherGroups)
{
    const QByteArray record = "[current]\nversion=1\ndir=/d\nvx3dir=/v\ntype=t\n";
    ASSERT_TRUE(writeIni(iniPath(), "[Channel]\nbeta=true\n[update]\nstreams=2\n" + record));
    ASSERT_TRUE(UpdateIniData::removeRecord());
    QSettings settings(iniPath(), QSettings::IniFormat);
    EXPECT_EQ(settings.childGroups(), (QStringList{ "Channel", "update" }));
    EXPECT_EQ(settings.value("update/streams").toInt(), 2);

    // A file that held only the record goes.
    ASSERT_TRUE(writeIni(iniPath(), record));
    ASSERT_TRUE(UpdateIniData::removeRecord());
    EXPECT_FALSE(QFile::exists(iniPath()));
    EXPECT_TRUE(UpdateIniData::removeRecord());
    EXPECT_FALSE(QFile::exists(iniPath()));
}

TEST(UpdateIniDataMessages, WriteFailureTexts)
{
    EXPECT_EQ(QString::fromUtf16(UpdateIniData::writeFailedMessage),
              QString("Failed to write update.ini. The updater does not seem to have the required write permissions."));
    EXPECT_EQ(QString::fromUtf16(UpdateIniData::tempWriteFailedMessage),
              QString("Failed to write temp update.ini. The updater does not seem to have the required write permissions."));
}
