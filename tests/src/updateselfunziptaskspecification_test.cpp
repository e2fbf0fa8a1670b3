#include "updateselfunziptaskspecification.h"

#include "replacetestutil.h"
#include "testtasks.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>

using vxtest::EventLog;
using vxtest::ReplaceTree;

namespace {

// update.ini and the translations live beside the running program; this binary has a folder of
// its own, and every test starts and ends without them.
class SelfUnzip : public ::testing::Test
{
protected:
    void SetUp() override { clearAppDir(); }
    void TearDown() override { clearAppDir(); }

    static QString appFile(const QString& name)
    {
        return QCoreApplication::applicationDirPath() + "/" + name;
    }
    static void clearAppDir()
    {
        QFile::remove(appFile("update.ini"));
        QDir(appFile("translations")).removeRecursively();
    }
    // The session record of the running updater.
    void writeSession()
    {
        QSettings ini(appFile("update.ini"), QSettings::IniFormat);
        ini.beginGroup("current");
        ini.setValue("version", 42);
        ini.setValue("dir", tree.work());
        ini.setValue("vx3dir", tree.install());
        ini.setValue("type", "update_linux_x86");
        ini.endGroup();
        ini.sync();
        ASSERT_EQ(ini.status(), QSettings::NoError);
    }

    ReplaceTree tree;
};

} // namespace

TEST_F(SelfUnzip, WithoutExtractionsStillPreparesTheNewUpdater)
{
    writeSession();
    ReplaceTree::put(appFile("translations/update_de.qm"), "de");
    ReplaceTree::put(appFile("translations/update_fr.qm"), "fr");
    ReplaceTree::put(appFile("translations/qt_de.qm"), "qt");
    QDir().mkpath(appFile("translations/update_dir.qm"));
    ReplaceTree::put(tree.workFile("translations/update_fr.qm"), "already there");
    ReplaceTree::put(tree.workFile("update"), "new updater");
    ASSERT_TRUE(QFile::setPermissions(tree.workFile("update"),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    // Entries without a target are not part of the updater tree.
    QList<UpdateFileEntry> list{UpdateFileEntry("files", "readme.txt", QString(), 0, QString())};
    UpdateSelfUnzipTaskSpecification task(&list, &tree.config, nullptr, 0.3);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.3);
    EXPECT_TRUE(task.getTasks().isEmpty());
    EXPECT_EQ(log.lines, QStringList({"finished"}));
    EXPECT_FALSE(QFileInfo::exists(tree.workFile("readme.txt")));

    EXPECT_EQ(QFile::permissions(tree.workFile("update")), QFileDevice::Permissions(0x7777));
    QSettings written(tree.workFile("update.ini"), QSettings::IniFormat);
    EXPECT_EQ(written.childGroups(), QStringList({"current"}));
    EXPECT_EQ(written.value("current/version").toInt(), 42);
    EXPECT_EQ(written.value("current/dir").toString(), tree.work());
    EXPECT_EQ(written.value("current/vx3dir").toString(), tree.install());
    EXPECT_EQ(written.value("current/type").toString(), "client_linux_x86");

    EXPECT_EQ(vxtest::readFile(tree.workFile("translations/update_de.qm")), QByteArray("de"));
    EXPECT_EQ(vxtest::readFile(tree.workFile("translations/update_fr.qm")),
              QByteArray("already there"));
    EXPECT_FALSE(QFileInfo::exists(tree.workFile("translations/qt_de.qm")));
    EXPECT_FALSE(QFileInfo::exists(tree.workFile("translations/update_dir.qm")));
}

TEST_F(SelfUnzip, UnwritableSessionCopyFailsTheStepWithItsText)
{
    // No session record beside the program: there is nothing to hand to the new updater.
    ReplaceTree::put(appFile("translations/update_de.qm"), "de");
    QList<UpdateFileEntry> list;
    UpdateSelfUnzipTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(log.lines,
              QStringList({"error:Failed to write temp update.ini. The updater does not seem to "
                           "have the required write permissions.",
                           "canceled"}));
    EXPECT_FALSE(QFileInfo::exists(tree.workFile("update.ini")));
    EXPECT_FALSE(QFileInfo::exists(tree.workFile("translations/update_de.qm")));
}
