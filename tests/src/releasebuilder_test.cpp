// The release fixtures read back through the updater's own steps: the list compiler over the
// product ini, the digest and signature checks, and the replace and delete lists, which must turn
// the old tree into the new one byte for byte. Signatures and gzip files are cross-checked with
// openssl and gzip.
#include "releasebuilder.h"

#include "checksigfunc.h"
#include "configuration.h"
#include "cryptwrapper.h"
#include "downloadreplacelists.h"
#include "eventloop.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "lzmafile.h"
#include "makedownloadreplacelistfunc.h"
#include "productiniwriter.h"
#include "releasefolder.h"
#include "signaturetestutil.h"
#include "testpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

namespace {

using Names = std::set<std::string>;

void put(const QString& root, const QString& relative, const QByteArray& data)
{
    const QString path = root + "/" + relative;
    ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
    ASSERT_TRUE(vxtest::writeFile(path, data)) << path.toStdString();
}

QByteArray corpusFile(const QString& name)
{
    return vxtest::readFile(vxtest::corpusDir() + "/" + name);
}

// Every file below `root` with its content, for byte-for-byte comparison of two trees.
std::map<std::string, QByteArray> contents(const QString& root)
{
    vxtest::ReleaseFolder folder;
    EXPECT_TRUE(folder.scan(root)) << folder.errorText().toStdString();
    std::map<std::string, QByteArray> out;
    for (const QString& path : folder.paths())
        out[path.toStdString()] = vxtest::readFile(folder.absolutePath(path));
    return out;
}

// The corpus's small 32-bit x86 executable and a copy with some of its bytes changed, as an
// executable that a patch with an element carries.
QByteArray oldExecutable()
{
    return corpusFile("elf32-x86/gcc-386-freebsd-exec");
}

QByteArray newExecutable()
{
    QByteArray data = oldExecutable();
    if (data.size() > 400)
        data.replace(data.size() - 300, 12, "release 7...");
    return data;
}

// An old and a new client tree that exercise every route: a changed executable (patched with
// an element), a changed text file (gzip and a plain patch), an unchanged file, a new file in a
// new folder, an old file and an old folder that the new release drops. The release is built
// once for the suite; packing runs the LZMA2 encoder at its highest level, which is slow under
// the sanitizers.
class ReleaseBuilderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        tmp = new QTemporaryDir;
        ASSERT_TRUE(tmp->isValid());
        oldDir = tmp->filePath("old");
        newDir = tmp->filePath("new");
        server = tmp->filePath("server");
        ASSERT_FALSE(oldExecutable().isEmpty());
        ASSERT_NE(oldExecutable(), newExecutable());
        put(oldDir, "lib/vx3client.so.1", oldExecutable());
        put(newDir, "lib/vx3client.so.1", newExecutable());
        put(oldDir, "readme.txt", QByteArray("Voxmere 3 Client, release 6\n").repeated(50));
        put(newDir, "readme.txt", QByteArray("Voxmere 3 Client, release 7\n").repeated(50));
        put(oldDir, "sounds/ring.dat", QByteArray(3000, '\x5a'));
        put(newDir, "sounds/ring.dat", QByteArray(3000, '\x5a'));
        put(newDir, "sounds/extra/new.dat", QByteArray("new sound"));
        put(oldDir, "gone.txt", QByteArray("dropped"));
        put(oldDir, "plugins/old/a.so", QByteArray("old plugin"));
        put(oldDir, "plugins/old/b.so", QByteArray("old plugin b"));
        vxtest::ReleaseBuilder builder(clientOptions());
        built = builder.build();
        ASSERT_TRUE(built) << builder.errorText().toStdString();
    }

    static void TearDownTestSuite()
    {
        delete tmp;
        tmp = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(built); }

    static vxtest::ReleaseBuilder::Options clientOptions()
    {
        vxtest::ReleaseBuilder::Options options;
        options.client = true;
        options.version = 7;
        options.oldDir = oldDir;
        options.newDir = newDir;
        options.serverRoot = server;
        options.gzipPatterns = QStringList{"*.txt"};
        return options;
    }

    // Options for a one-file release of its own, for the cases that change how it is built.
    vxtest::ReleaseBuilder::Options smallOptions()
    {
        vxtest::ReleaseBuilder::Options options;
        options.version = 3;
        options.newDir = own.filePath("new");
        options.serverRoot = own.filePath("server");
        put(options.newDir, "lib/vx3client.so.1", newExecutable());
        return options;
    }

    bool build(const vxtest::ReleaseBuilder::Options& options)
    {
        vxtest::ReleaseBuilder builder(options);
        const bool ok = builder.build();
        error = builder.errorText();
        return ok;
    }

    static QString versionFile(const QString& name) { return server + "/7/" + name; }

    static QTemporaryDir* tmp;
    static QString oldDir;
    static QString newDir;
    static QString server;
    static bool built;
    QTemporaryDir own;
    QString error;
};

QTemporaryDir* ReleaseBuilderTest::tmp = nullptr;
QString ReleaseBuilderTest::oldDir;
QString ReleaseBuilderTest::newDir;
QString ReleaseBuilderTest::server;
bool ReleaseBuilderTest::built = false;

TEST_F(ReleaseBuilderTest, SignsTheProductIniAndPacksIt)
{
    const QString ini = versionFile("vx3_client_linux_x86.ini");
    EXPECT_TRUE(sigtest::opensslVerify(sigtest::developmentPublicKeyPath(), ini, ini + ".sig"));
    EXPECT_EQ(QFileInfo(ini + ".sig").size(), 128);
    crypt_init();
    EXPECT_TRUE(CheckSigFunc(ini, QString()).run()) << "the built-in key accepts it";

    const QString unpacked = own.filePath("unpacked.ini");
    ASSERT_TRUE(vxpatch::UnpackLzmaFile(QFile::encodeName(ini + "._lzma2_").toStdString(),
                                        QFile::encodeName(unpacked).toStdString()));
    EXPECT_EQ(vxtest::readFile(unpacked), vxtest::readFile(ini));

    QByteArray tampered = vxtest::readFile(ini);
    tampered.replace("::", ":;");
    ASSERT_TRUE(vxtest::writeFile(unpacked, tampered));
    ASSERT_TRUE(QFile::copy(ini + ".sig", unpacked + ".sig"));
    EXPECT_FALSE(CheckSigFunc(unpacked, QString()).run());
}

TEST_F(ReleaseBuilderTest, ListsDigestsSizesAndTargetsOfWhatIsPublished)
{
    QSettings ini(versionFile("vx3_client_linux_x86.ini"), QSettings::IniFormat);
    ASSERT_EQ(ini.childGroups(), QStringList({"client", "delete"}));

    ini.beginGroup("client");
    Names keys;
    for (const QString& key : ini.allKeys())
        keys.insert(key.toStdString());
    EXPECT_EQ(keys, Names({"lib/vx3client.so.1._lzma2_", "lib/vx3client.so.1._patch_",
                           "readme.txt.gz", "readme.txt._patch_", "sounds/extra/new.dat._lzma2_",
                           "sounds/ring.dat._lzma2_"}));
    for (const QString& key : ini.allKeys()) {
        SCOPED_TRACE(key.toStdString());
        const QStringList parts = ini.value(key).toString().split("::");
        ASSERT_EQ(parts.size(), 5);
        const QString published = versionFile("client/" + key);
        EXPECT_EQ(parts[0], vxtest::ReleaseFolder::sha512OfFile(published));
        EXPECT_EQ(parts[1].toLongLong(), QFileInfo(published).size());
        const QString target = parts[4];
        const QString installed = key.endsWith("_patch_") ? oldDir + "/" + target
                                                          : newDir + "/" + target;
        EXPECT_EQ(parts[2], vxtest::ReleaseFolder::sha512OfFile(installed));
        EXPECT_EQ(parts[3].toLongLong(), QFileInfo(installed).size());
    }
    ini.endGroup();

    ini.beginGroup("delete");
    EXPECT_EQ(ini.allKeys(), QStringList({"gone.txt", "plugins"}));
    EXPECT_EQ(ini.value("gone.txt").toInt(), vxtest::ProductIniWriter::kDeletePath);
    EXPECT_EQ(ini.value("plugins").toInt(), vxtest::ProductIniWriter::kDeleteRecursive);
}

TEST_F(ReleaseBuilderTest, GzipFilesPassTheGzipTool)
{
    QProcess gzip;
    gzip.start("gzip", {"-dc", versionFile("client/readme.txt.gz")});
    ASSERT_TRUE(gzip.waitForFinished(30000));
    EXPECT_EQ(gzip.exitCode(), 0);
    EXPECT_EQ(gzip.readAllStandardOutput(), vxtest::readFile(newDir + "/readme.txt"));
}

// The whole of phase 2 but the transfers: compile the lists against the old installation, fetch
// by copying from the server tree, install and delete through the updater's own tasks.
TEST_F(ReleaseBuilderTest, UpdaterStepsTurnTheOldTreeIntoTheNewOne)
{
    const QString install = own.filePath("install");
    const QString work = own.filePath("work");
    ASSERT_TRUE(QDir().mkpath(work));
    for (const auto& [path, data] : contents(oldDir))
        put(install, QString::fromStdString(path), data);
    ASSERT_TRUE(QFile::copy(versionFile("vx3_client_linux_x86.ini"),
                            work + "/vx3_client_linux_x86.ini"));

    Configuration config;
    config.isClientUpdate = 1;
    config.workDir = work;
    config.installDir = install;
    DownloadReplaceLists lists;
    ASSERT_TRUE(MakeDownloadReplaceListFunc(&config, &lists).run());

    Names fetched;
    for (const DownloadEntry& entry : lists.downloadList) {
        SCOPED_TRACE(entry.name.toStdString());
        fetched.insert((entry.section + "/" + entry.name).toStdString());
        const QString local = work + "/" + entry.name;
        ASSERT_TRUE(QDir().mkpath(QFileInfo(local).absolutePath()));
        ASSERT_TRUE(QFile::copy(versionFile(entry.section + "/" + entry.name), local));
        EXPECT_TRUE(CheckSigFunc(local, entry.sha512).run());
        EXPECT_EQ(entry.size, quint64(QFileInfo(local).size()));
    }
    EXPECT_EQ(fetched, Names({"client/lib/vx3client.so.1._patch_", "client/readme.txt._patch_",
                              "client/sounds/extra/new.dat._lzma2_"}))
        << "changed files come as patches, the unchanged file not at all";

    FileReplaceListTaskSpecification replace(&lists.replaceList, &config, nullptr, 1.0);
    QSignalSpy replaced(&replace, &TaskSpecification::finished);
    replace.execute();
    ASSERT_TRUE(vxtest::waitForCount(replaced, 1, 60000));
    FileDeleteListTaskSpecification remove(&lists.deleteList, &config, nullptr, 1.0);
    QSignalSpy removed(&remove, &TaskSpecification::finished);
    remove.execute();
    ASSERT_TRUE(vxtest::waitForCount(removed, 1, 10000));

    EXPECT_EQ(contents(install), contents(newDir));
    EXPECT_FALSE(QFileInfo::exists(install + "/plugins"));
}

TEST_F(ReleaseBuilderTest, WholeFilesOnlyWithoutAnOldTree)
{
    vxtest::ReleaseBuilder::Options options = smallOptions();
    options.preprocess = true;
    ASSERT_TRUE(build(options)) << error.toStdString();
    const QString root = options.serverRoot + "/3/";
    QSettings ini(root + "vx3_client_linux_x86.ini", QSettings::IniFormat);
    EXPECT_EQ(ini.childGroups(), QStringList({"client"})) << "nothing to delete";
    EXPECT_EQ(ini.allKeys(), QStringList({"client/lib/vx3client.so.1._lzma2_"}));
    const QString exe = own.filePath("exe");
    ASSERT_TRUE(vxpatch::UnpackLzmaFile(
        QFile::encodeName(root + "client/lib/vx3client.so.1._lzma2_").toStdString(),
        QFile::encodeName(exe).toStdString()));
    EXPECT_EQ(vxtest::readFile(exe), newExecutable());
}

TEST_F(ReleaseBuilderTest, UpdaterProductHasItsOwnIniAndSection)
{
    vxtest::ReleaseBuilder::Options options = smallOptions();
    options.client = false;
    ASSERT_TRUE(build(options)) << error.toStdString();
    const QString root = options.serverRoot + "/3/";
    QSettings ini(root + "update_linux_x86.ini", QSettings::IniFormat);
    EXPECT_EQ(ini.childGroups(), QStringList({"update"}));
    EXPECT_TRUE(QFileInfo::exists(root + "update_linux_x86.ini._lzma2_"));
    EXPECT_TRUE(QFileInfo::exists(root + "update_linux_x86.ini.sig"));
    EXPECT_TRUE(QFileInfo::exists(root + "update/lib/vx3client.so.1._lzma2_"));
    EXPECT_FALSE(QFileInfo::exists(root + "vx3_client_linux_x86.ini"));
}

TEST_F(ReleaseBuilderTest, RefusesWhatTheUpdaterCouldNotRead)
{
    struct Case {
        const char* name;
        std::function<void(vxtest::ReleaseBuilder::Options&)> change;
    };
    const Case cases[] = {
        {"section named like the delete list", [](auto& o) { o.section = "delete"; }},
        {"section the reader takes for no section", [](auto& o) { o.section = "General"; }},
        {"no version number", [](auto& o) { o.version = 0; }},
        {"missing new folder", [this](auto& o) { o.newDir = own.filePath("none"); }},
        {"key that is not a private key",
         [](auto& o) { o.privateKey = sigtest::developmentPublicKeyPath(); }},
        {"package name taken by another file",
         [](auto& o) {
             put(o.newDir, "notes", "a");
             put(o.newDir, "notes.gz", "b");
             o.gzipPatterns = QStringList{"notes"};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vxtest::ReleaseBuilder::Options options = smallOptions();
        c.change(options);
        EXPECT_FALSE(build(options));
        EXPECT_FALSE(error.isEmpty());
    }
}

} // namespace
