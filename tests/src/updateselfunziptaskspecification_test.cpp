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
    // A link is not taken for a translation, wherever it leads.
    ASSERT_TRUE(QFile::link(appFile("translations/update_de.qm"), appFile("translations/update_ln.qm")));
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

    EXPECT_EQ(QFile::permissions(tree.workFile("update")), QFileDevice::Permissions(0x7700));
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
    EXPECT_FALSE(QFileInfo::exists(tree.workFile("translations/update_ln.qm")));
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

namespace {
UpdateFileEntry packedEntry(const QString& key, const QString& target)
{
    return UpdateFileEntry("update", key, QString(), 0, target);
}
} // namespace

TEST_F(SelfUnzip, AssemblesTheNewUpdaterTreeFromGzipPackages)
{
    // What the updater writes gets its own modes, not the umask's.
    const vxtest::UmaskScope noMask(0);
    writeSession();
    ReplaceTree::put(appFile("translations/update_de.qm"), "de");
    const QByteArray updater(150000, '\x42');
    const QByteArray plugin("plugin bytes");
    ReplaceTree::put(tree.workFile("update.gz"), vxtest::gzipped(updater));
    ReplaceTree::put(tree.workFile("libfoo.so.gz"), vxtest::gzipped(plugin));
    // The installation is not touched in this phase.
    ReplaceTree::put(tree.installFile("update"), "installed updater");
    const auto installed = vxtest::snapshot(tree.install());
    QList<UpdateFileEntry> list{packedEntry("update.gz", "update"),
                                UpdateFileEntry("update", "skipped.txt", QString(), 0, QString()),
                                packedEntry("libfoo.so.gz", "plugins/deep/libfoo.so")};

    UpdateSelfUnzipTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED) << log.lines.join("\n").toStdString();
    ASSERT_EQ(task.getTasks().size(), 2);
    for (TaskSpecification* sub : task.getTasks())
        EXPECT_DOUBLE_EQ(sub->getWeight(), 0.5);
    EXPECT_DOUBLE_EQ(task.getProgress(), 1.0);
    EXPECT_EQ(vxtest::readFile(tree.workFile("update")), updater);
    EXPECT_EQ(QFile::permissions(tree.workFile("update")), QFileDevice::Permissions(0x7700));
    EXPECT_EQ(vxtest::readFile(tree.workFile("plugins/deep/libfoo.so")), plugin);
    EXPECT_EQ(vxtest::modeOf(tree.workFile("plugins/deep/libfoo.so")), 0755);
    EXPECT_EQ(vxtest::readFile(tree.workFile("translations/update_de.qm")), QByteArray("de"));
    EXPECT_TRUE(QFileInfo::exists(tree.workFile("update.ini")));
    EXPECT_EQ(vxtest::snapshot(tree.install()), installed);
}

TEST_F(SelfUnzip, FailedExtractionFailsTheStepAfterTheHandOverFiles)
{
    writeSession();
    ReplaceTree::put(appFile("translations/update_de.qm"), "de");
    const QByteArray good = vxtest::gzipped(QByteArray(5000, 'g'));
    ReplaceTree::put(tree.workFile("update.gz"), good);
    ReplaceTree::put(tree.workFile("broken.gz"), good.left(good.size() / 2));
    QList<UpdateFileEntry> list{packedEntry("update.gz", "update"),
                                packedEntry("broken.gz", "lib/broken.so")};

    UpdateSelfUnzipTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_TRUE(log.lines.contains("message:Could not unzip '" + tree.workFile("broken.gz") +
                                   "' to '" + tree.workFile("lib/broken.so") + "'"))
        << log.lines.join("\n").toStdString();
    EXPECT_EQ(log.lines.last(), "canceled");
    EXPECT_FALSE(QFileInfo::exists(tree.workFile("lib/broken.so")));
    // The steps after the extractions ran all the same.
    EXPECT_TRUE(QFileInfo::exists(tree.workFile("update.ini")));
    EXPECT_EQ(vxtest::readFile(tree.workFile("translations/update_de.qm")), QByteArray("de"));
}

TEST_F(SelfUnzip, PatchesTheInstalledUpdaterIntoTheWorkDirectory)
{
    const vxtest::PatchPair& pair = vxtest::patchPair();
    ASSERT_FALSE(pair.patch.isEmpty());
    writeSession();
    ReplaceTree::put(tree.installFile("update"), pair.oldData);
    ReplaceTree::put(tree.workFile("update_patch_"), pair.patch);
    const auto installed = vxtest::snapshot(tree.install());
    QList<UpdateFileEntry> list{
        UpdateFileEntry("update", "update._lzma2_", QString(), 0, "update", "update_patch_")};

    UpdateSelfUnzipTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED) << log.lines.join("\n").toStdString();
    EXPECT_EQ(log.lines, QStringList({"message:Patching update", "finished"}));
    EXPECT_TRUE(vxtest::readFile(tree.workFile("update")) == pair.newData);
    EXPECT_EQ(QFile::permissions(tree.workFile("update")), QFileDevice::Permissions(0x7700));
    EXPECT_TRUE(vxtest::readFile(tree.workFile("update_old")) == pair.oldData);
    EXPECT_TRUE(vxtest::snapshot(tree.install()) == installed);
}

TEST_F(SelfUnzip, PatchWithoutAnInstalledFileFails)
{
    const vxtest::PatchPair& pair = vxtest::patchPair();
    ASSERT_FALSE(pair.patch.isEmpty());
    writeSession();
    ReplaceTree::put(tree.workFile("update_patch_"), pair.patch);
    QList<UpdateFileEntry> list{
        UpdateFileEntry("update", "update._lzma2_", QString(), 0, "update", "update_patch_")};

    UpdateSelfUnzipTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(log.lines, QStringList({"message:Patching update",
                                      "message:Could not patch '" + tree.workFile("update_old") +
                                          "' to '" + tree.workFile("update") + "'",
                                      "canceled"}));
    EXPECT_FALSE(QFileInfo::exists(tree.workFile("update")));
    EXPECT_TRUE(QFileInfo::exists(tree.workFile("update.ini")));
}

TEST_F(SelfUnzip, UnpacksContainersByTheirSuffix)
{
    writeSession();
    const QByteArray& library = vxtest::packedText().content;
    ReplaceTree::put(tree.workFile("libfoo.so._lzma2_"), vxtest::packedText().packed);
    ReplaceTree::put(tree.workFile("libbar.so.gz"), vxtest::gzipped(library + "bar"));
    QList<UpdateFileEntry> list{packedEntry("libfoo.so._lzma2_", "libfoo.so"),
                                packedEntry("libbar.so.gz", "libbar.so")};

    UpdateSelfUnzipTaskSpecification task(&list, &tree.config, nullptr, 1.0);
    EventLog log(&task);
    ASSERT_TRUE(vxtest::runToEnd(task));
    ASSERT_EQ(task.getState(), TaskSpecification::TASK_FINISHED) << log.lines.join("\n").toStdString();
    EXPECT_TRUE(vxtest::readFile(tree.workFile("libfoo.so")) == library);
    EXPECT_TRUE(vxtest::readFile(tree.workFile("libbar.so")) == library + "bar");
}
