#include "makedownloadreplacelistfunc.h"
#include "initestutil.h"
#include "makedownloadreplacelisttaskspecification.h"

#include "configuration.h"
#include "cryptwrapper.h"
#include "downloadreplacelists.h"
#include "eventloop.h"
#include "otheruser.h"
#include "signaturetestutil.h"
#include "testpaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using Lines = std::vector<std::string>;

namespace {

QString sha512Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

Lines describe(const QList<DownloadEntry>& list)
{
    Lines out;
    for (const DownloadEntry& e : list)
        out.push_back(
            QString("%1|%2|%3|%4").arg(e.section, e.name, e.sha512).arg(e.size).toStdString());
    return out;
}

Lines describe(const QList<UpdateFileEntry>& list)
{
    Lines out;
    for (const UpdateFileEntry& e : list)
        out.push_back(QString("%1|%2|%3|%4|%5|%6")
                          .arg(e.section, e.name, e.sha512)
                          .arg(e.size)
                          .arg(e.target, e.patch)
                          .toStdString());
    return out;
}

Lines describe(const QList<DeleteEntry>& list)
{
    Lines out;
    for (const DeleteEntry& e : list)
        out.push_back((e.path + (e.recursive ? "|recursive" : "")).toStdString());
    return out;
}

Lines describe(const QList<PrePostInstallEntry>& list)
{
    Lines out;
    for (const PrePostInstallEntry& e : list)
        out.push_back(QString("%1|%2|%3|%4")
                          .arg(e.program)
                          .arg(e.args.size())
                          .arg(e.args.join(";"), e.required ? "required" : "optional")
                          .toStdString());
    return out;
}

std::string line(const QString& text)
{
    return text.toStdString();
}

// A working and an installation directory in a fresh temporary tree, a configuration pointing at
// them and the product ini of the chosen phase. compile() runs the worker in the test's thread.
class ListCompiler : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        work = root.path() + "/work";
        install = root.path() + "/install";
        ASSERT_TRUE(QDir().mkpath(work));
        ASSERT_TRUE(QDir().mkpath(install));
        config.workDir = work;
        config.installDir = install;
        config.isClientUpdate = 1;
    }

    QString iniPath() const
    {
        return config.workDir + (config.isClientUpdate == 1 ? "/vx3_client_linux_x86.ini"
                                                            : "/update_linux_x86.ini");
    }

    void writeIni(const QByteArray& text) { ASSERT_TRUE(vxtest::writeIni(iniPath(), text)); }

    // The ini reader caches files by path and trusts size and time stamp, so a case that
    // rewrites the ini at once gets a working directory of its own.
    void useFreshWorkDir()
    {
        config.workDir = work + "/run" + QString::number(++runs);
        ASSERT_TRUE(QDir().mkpath(config.workDir));
    }

    // Writes a file below `dir`, creating its folders; returns its SHA-512 as hex.
    static QString put(const QString& dir, const QString& relative, const QByteArray& content)
    {
        const QString path = dir + "/" + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        EXPECT_TRUE(vxtest::writeFile(path, content)) << path.toStdString();
        return sha512Hex(content);
    }
    QString putInstalled(const QString& relative, const QByteArray& content)
    {
        return put(install, relative, content);
    }
    QString putFetched(const QString& relative, const QByteArray& content)
    {
        return put(work, relative, content);
    }

    bool compile()
    {
        MakeDownloadReplaceListFunc func(&config, &lists);
        QObject::connect(&func, &ASyncFunc::message, [this](const QString& m) { messages << m; });
        QObject::connect(&func, &ASyncFunc::progress, [this](qreal p) { progress << p; });
        QSignalSpy errors(&func, &ASyncFunc::error);
        const bool ok = func.run();
        EXPECT_EQ(errors.count(), 0) << "the compiler reports through message only";
        return ok;
    }

    // The messages after the opening "Compiling ..." line.
    Lines laterMessages() const
    {
        Lines out;
        for (int i = 1; i < messages.size(); ++i)
            out.push_back(messages[i].toStdString());
        return out;
    }

    QTemporaryDir root;
    QString work;
    QString install;
    Configuration config;
    DownloadReplaceLists lists;
    QStringList messages;
    QList<qreal> progress;
    int runs = 0;
};

} // namespace

TEST(MakeDownloadReplaceListFunc, ParsesOsNamesWithoutRegardToCase)
{
    struct Case { const char* name; int value; };
    const Case cases[] = {
        { "win32", 1 }, { "WIN64", 2 }, { "linux32", 3 }, { "Linux32", 3 }, { "linux64", 4 },
        { "Mac", 5 }, { "", 0 }, { "linux", 0 }, { " linux32", 0 }, { "osx", 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MakeDownloadReplaceListFunc::parseOsName(c.name), c.value);
    }
    EXPECT_EQ(MakeDownloadReplaceListFunc::currentOs(), 3);
}

TEST_F(ListCompiler, MissingFilesAreQueuedFromTwoAndFivePartLines)
{
    writeIni("[bin]\n"
             "a.txt=aa11::100\n"
             "pkg/b.so._lzma2_=bb22::200::cc33::300::lib/b.so\n"
             "c.gz=dd44::400::ee55::500::\n"
             "d.txt=ff66::\n"
             "e.txt=0a0a::12kb\n");
    ASSERT_TRUE(compile());
    EXPECT_EQ(describe(lists.replaceList),
              (Lines{ "bin|a.txt||0||", "bin|c.gz|ee55|500||", "bin|d.txt||0||", "bin|e.txt||0||",
                      "bin|pkg/b.so._lzma2_|cc33|300|lib/b.so|" }));
    EXPECT_EQ(describe(lists.downloadList),
              (Lines{ "bin|a.txt|aa11|100", "bin|c.gz|dd44|400", "bin|d.txt|ff66|0",
                      "bin|e.txt|0a0a|0", "bin|pkg/b.so._lzma2_|bb22|200" }));
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_EQ(line(messages[0]), "Compiling download and replace list for client");
    EXPECT_TRUE(laterMessages().empty());
}

TEST_F(ListCompiler, InvalidFileLinesAreReportedAndSkipped)
{
    writeIni("[bin]\n"
             "a1=justonepart\n"
             "a2=x::1::y\n"
             "a3=x::1::y::2::t::extra\n"
             "a4=x::1, y::2\n"
             "a5=\n"
             "ok=ab::3\n"
             "[other]\n"
             "z=::::\n");
    ASSERT_TRUE(compile());
    const std::string bad = "Warning: product ini contains invalid line in section ";
    EXPECT_EQ(laterMessages(), (Lines{ bad + "bin", bad + "bin", bad + "bin", bad + "bin",
                                       bad + "bin", bad + "other" }));
    EXPECT_EQ(describe(lists.replaceList), (Lines{ "bin|ok||0||" }));
    EXPECT_EQ(describe(lists.downloadList), (Lines{ "bin|ok|ab|3" }));
    // Invalid lines still advance the progress.
    ASSERT_EQ(progress.size(), 7);
    EXPECT_DOUBLE_EQ(progress.last(), 1.0);
}

TEST_F(ListCompiler, UpToDateFilesAreLeftAloneInPhaseTwo)
{
    const QString a = putInstalled("a.txt", "current a");
    const QString b = putInstalled("lib/b.so", "current b");
    const QString c = putInstalled("c.txt", "current c");
    putInstalled("d.txt", "old d");
    writeIni(QString("[bin]\n"
                     "a.txt=%1::9\n"
                     "pkg/b.so.gz=ffff::9::%2::9::lib/b.so\n"
                     "c.txt=%3::9::0000::9::\n"
                     "d.txt=%3::9\n")
                 .arg(a.toUpper(), b, c)
                 .toUtf8());
    ASSERT_TRUE(compile());
    // a: upper-case digest still matches; b: judged by part 3; c: no target, judged by part 1.
    EXPECT_EQ(describe(lists.replaceList), (Lines{ "bin|d.txt||0||" }));
    EXPECT_EQ(describe(lists.downloadList), (Lines{ line("bin|d.txt|" + c + "|9") }));
    EXPECT_FALSE(QFileInfo::exists(work + "/a.txt")) << "phase 2 copies nothing";
}

TEST_F(ListCompiler, ChoosesThePatchWhoseSourceDigestTheInstalledFileHas)
{
    const QString installed = putInstalled("lib/a.so", "installed a v1");
    const QString other = sha512Hex("some other version");
    writeIni(QString("[bin]\n"
                     "a.so.gz=aaaa::100::1111::50::lib/a.so\n"
                     "b.txt=bbbb::10\n"
                     "a1_patch_=p1p1::11::%1::40::lib/a.so\n"
                     "y1_patch_=pypy::12::%2::41::lib/a.so\n"
                     "z2_patch_=p2p2::22::%2::41::lib/a.so\n"
                     "z8_patch_=p8p8::88::%3::41::b.txt\n"
                     "z9_patch_=p9p9::99::%3::41::\n"
                     "[bin2]\n"
                     "a.so.gz=aaaa::100::1111::50::lib/a.so\n"
                     "zz_patch_=pXpX::33::%2::41::lib/c.so\n")
                 .arg(other, installed, sha512Hex("any b"))
                 .toUtf8());
    putInstalled("b.txt", "any b");
    ASSERT_TRUE(compile());
    // bin: of two matching patches the later key wins, although both sort after the file key;
    // bin2 has no patch for lib/a.so.
    // b.txt is a two-part key: the patch naming it as target is never considered.
    EXPECT_EQ(describe(lists.replaceList),
              (Lines{ "bin|a.so.gz|1111|50|lib/a.so|z2_patch_", "bin|b.txt||0||",
                      "bin2|a.so.gz|1111|50|lib/a.so|" }));
    EXPECT_EQ(describe(lists.downloadList),
              (Lines{ "bin|z2_patch_|p2p2|22", "bin|b.txt|bbbb|10", "bin2|a.so.gz|aaaa|100" }));
}

TEST_F(ListCompiler, FilesFetchedByAnEarlierSessionAreNotFetchedAgain)
{
    const QString whole = putFetched("dir/whole.txt", "whole file");
    const QString stale = sha512Hex("the real content");
    putFetched("stale.txt", "partial");
    const QString installed = putInstalled("p.so", "old p");
    const QString patch = putFetched("p_patch_", "patch bytes");
    writeIni(QString("[bin]\n"
                     "dir/whole.txt=%1::10\n"
                     "stale.txt=%2::16\n"
                     "p.so.gz=ffff::1::eeee::1::p.so\n"
                     "p_patch_=%3::11::%4::5::p.so\n")
                 .arg(whole, stale, patch, installed)
                 .toUtf8());
    ASSERT_TRUE(compile());
    EXPECT_EQ(describe(lists.replaceList),
              (Lines{ "bin|dir/whole.txt||0||", "bin|p.so.gz|eeee|1|p.so|p_patch_",
                      "bin|stale.txt||0||" }));
    EXPECT_EQ(describe(lists.downloadList), (Lines{ line("bin|stale.txt|" + stale + "|16") }));
}

TEST_F(ListCompiler, PhaseOneCopiesUpToDateUpdaterFilesIntoTheWorkDirectory)
{
    config.isClientUpdate = 0;
    const QString a = putInstalled("plugins/deep/a.so", "updater a");
    const QString b = putInstalled("b.bin", "updater b");
    putInstalled("c.bin", "old c");
    writeIni(QString("[upd]\n"
                     "a.so._lzma2_=ffff::1::%1::9::plugins/deep/a.so\n"
                     "b.bin=%2::9\n"
                     "c.bin=%2::9\n")
                 .arg(a, b)
                 .toUtf8());
    // A product ini of the other phase must not be read.
    ASSERT_TRUE(vxtest::writeIni(work + "/vx3_client_linux_x86.ini", "[x]\ny=1::2\n"));
    ASSERT_TRUE(compile());
    EXPECT_EQ(line(messages.value(0)), "Compiling download and replace list for updater");
    EXPECT_EQ(vxtest::readFile(work + "/plugins/deep/a.so"), QByteArray("updater a"));
    EXPECT_EQ(vxtest::readFile(work + "/b.bin"), QByteArray("updater b"));
    EXPECT_FALSE(QFileInfo::exists(work + "/c.bin"));
    EXPECT_EQ(describe(lists.replaceList), (Lines{ "upd|c.bin||0||" }));
    EXPECT_EQ(describe(lists.downloadList), (Lines{ line("upd|c.bin|" + b + "|9") }));
}

// A run killed while it copied an install program left it at its name without its mode, or an
// earlier copy holds other content: the next run makes the copy again.
TEST_F(ListCompiler, PhaseOneRedoesACopyLeftWithoutItsModeOrContent)
{
    config.isClientUpdate = 0;
    const QByteArray script("#!/bin/sh\nexit 0\n");
    const QString digest = putInstalled("postinst.sh", script);
    ASSERT_EQ(::chmod(QFile::encodeName(install + "/postinst.sh").constData(), 0755), 0);
    writeIni(QString("[upd]\npostinst.sh=%1::%2\n").arg(digest).arg(script.size()).toUtf8());
    const struct { mode_t mode; QByteArray content; } leftovers[] = {{0600, script}, {0755, "#!"}};
    for (const auto& left : leftovers) {
        SCOPED_TRACE(left.content.size());
        putFetched("postinst.sh", left.content);
        ASSERT_EQ(::chmod(QFile::encodeName(work + "/postinst.sh").constData(), left.mode), 0);
        ASSERT_TRUE(compile());
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(work + "/postinst.sh").constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        EXPECT_EQ(vxtest::readFile(work + "/postinst.sh"), script);
    }
}

TEST_F(ListCompiler, EmptyDigestChecksTheSignatureBesideTheInstalledFile)
{
    if (vxtest::readFile(sigtest::builtinKeySourcePath())
        != vxtest::readFile(sigtest::developmentPublicKeyPath()))
        GTEST_SKIP() << "the built-in key is not the development key";
    crypt_init();
    putInstalled("signed.bin", "signed content");
    putInstalled("unsigned.bin", "unsigned content");
    ASSERT_TRUE(sigtest::opensslSign(sigtest::developmentPrivateKeyPath(), install + "/signed.bin",
                                     install + "/signed.bin.sig"));
    writeIni("[bin]\n"
             "signed.bin=::5\n"
             "unsigned.bin=::6\n");
    ASSERT_TRUE(compile());
    EXPECT_EQ(describe(lists.replaceList), (Lines{ "bin|unsigned.bin||0||" }));
    EXPECT_EQ(describe(lists.downloadList), (Lines{ "bin|unsigned.bin||6" }));
}

// A fifo at a listed name in another user's folder would hold the run for as long as that user
// likes: it is named, never opened, and the file fetched whole.
TEST_F(ListCompiler, AFifoAtAnInstalledNameIsNamedAndNeverOpened)
{
    const QString unavailable = vxtest::otherUserUnavailable();
    if (!unavailable.isEmpty())
        GTEST_SKIP() << unavailable.toStdString();
    const QString folder = install + "/sounds";
    ASSERT_TRUE(QDir().mkpath(folder) && vxtest::shareLikeSystemTemp(root.path(), folder));
    ASSERT_TRUE(vxtest::runAsOtherUser(folder, "mkfifo ring.dat"));
    writeIni("[snd]\nring.gz=rrrr::10::1111::5::sounds/ring.dat\n");
    std::future<bool> compiled = std::async(std::launch::async, [this] { return compile(); });
    if (compiled.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the compiler waits on the fifo"; // its writing end lets it go
        ::close(::open(QFile::encodeName(folder + "/ring.dat").constData(), O_WRONLY | O_NONBLOCK));
    }
    EXPECT_TRUE(compiled.get());
    EXPECT_EQ(laterMessages(), (Lines{ line("'" + folder + "/ring.dat' is not a regular file") }));
    EXPECT_EQ(describe(lists.downloadList), (Lines{ "snd|ring.gz|rrrr|10" }));
}

TEST_F(ListCompiler, DeleteCodesQueueOnlyExistingPaths)
{
    struct Case { const char* path; const char* code; };
    const Case existing[] = {
        { "c0", "0" }, { "c1", "1" }, { "c9", "9" }, { "c12", "12" }, { "cm3", "-3" },
        { "cx", "abc" }, { "c10", "10" }, { "c11", "11" }, { "c13", "13" }, { "c99", "99" },
        { "sub/f", "0" },
    };
    QByteArray ini = "[delete]\n";
    for (const Case& c : existing) {
        putInstalled(c.path, "x");
        ini += QByteArray(c.path) + "=" + c.code + "\n";
    }
    ASSERT_TRUE(QDir().mkpath(install + "/tree/inner"));
    putInstalled("gone_patch_", "x");
    ini += "tree=2\n"
           "missing=0\n"
           "gone_patch_=a::1::b::2::c\n";
    writeIni(ini);
    ASSERT_TRUE(compile());
    EXPECT_EQ(describe(lists.deleteList),
              (Lines{ "c0", "c1", "c12", "c9", "cm3", "cx", "sub/f", "tree|recursive" }));
    EXPECT_TRUE(lists.replaceList.isEmpty());
    EXPECT_TRUE(lists.downloadList.isEmpty());
}

TEST_F(ListCompiler, InstallProgramsFollowTheirOsListAndGetTheInstallDirectory)
{
    writeIni("[preinstall]\n"
             "twice.sh=mac::LINUX32::linux32,"
             " --dir=__VX3_DIR__::__VX3_DIR__/a:__VX3_DIR__/b::plain\n"
             "wide.sh=linux64\n"
             "opt.sh=linux32, , optional\n"
             "req.sh=linux32, -x, Optional\n"
             "empty.sh=\n"
             "[postinstall]\n"
             "post.sh=win32::linux32\n"
             "[DELETE]\n"
             "x=ab::1\n");
    ASSERT_TRUE(compile());
    const std::string dir = install.toStdString();
    const std::string args = "3|--dir=" + dir + ";" + dir + "/a:" + dir + "/b;plain";
    EXPECT_EQ(describe(lists.preinstallList),
              (Lines{ "opt.sh|0||optional", "req.sh|1|-x|required",
                      "twice.sh|" + args + "|required", "twice.sh|" + args + "|required" }));
    EXPECT_EQ(describe(lists.postinstallList), (Lines{ "post.sh|0||required" }));
    // A section named like "delete" in another case is a file section.
    EXPECT_EQ(describe(lists.replaceList), (Lines{ "DELETE|x||0||" }));
    EXPECT_TRUE(lists.deleteList.isEmpty());
}

TEST_F(ListCompiler, InstallOnlyIniCompilesWithoutProgress)
{
    writeIni("[preinstall]\nrun.sh=linux32\n");
    ASSERT_TRUE(compile());
    EXPECT_EQ(describe(lists.preinstallList), (Lines{ "run.sh|0||required" }));
    EXPECT_TRUE(lists.replaceList.isEmpty());
    EXPECT_TRUE(lists.downloadList.isEmpty());
    EXPECT_TRUE(progress.isEmpty());
}

TEST_F(ListCompiler, ProgressCountsFileAndDeleteKeysAgainstAllKeys)
{
    putInstalled("gone", "x");
    writeIni("[bin]\n"
             "a=aa::1\n"
             "b=bad\n"
             "a_patch_=p::1::s::1::a\n"
             "[delete]\n"
             "gone=0\n"
             "missing=0\n"
             "[postinstall]\n"
             "p.sh=linux32\n"
             "q.sh=win32\n");
    ASSERT_TRUE(compile());
    ASSERT_EQ(progress.size(), 4);
    const qreal expected[] = { 1.0 / 7, 2.0 / 7, 3.0 / 7, 4.0 / 7 };
    for (int i = 0; i < 4; ++i)
        EXPECT_DOUBLE_EQ(progress[i], expected[i]) << i;
    QSettings settings(iniPath(), QSettings::IniFormat);
    EXPECT_EQ(MakeDownloadReplaceListFunc::countKeys(settings), 7);
}

TEST_F(ListCompiler, ListsFollowTheOrderOfSectionsAndKeys)
{
    writeIni("[zeta]\n"
             "b=1::1\n"
             "A=2::2\n"
             "[Alpha]\n"
             "z/y=3::3\n"
             "a=4::4\n"
             "[General]\n"
             "g=5::5\n");
    ASSERT_TRUE(vxtest::writeIni(iniPath(), "top=9::9\n" + vxtest::readFile(iniPath())));
    ASSERT_TRUE(compile());
    EXPECT_EQ(describe(lists.downloadList),
              (Lines{ "Alpha|a|4|4", "Alpha|z/y|3|3", "zeta|A|2|2", "zeta|b|1|1" }));
}

TEST_F(ListCompiler, NoKeysInAnySectionFailsTheRun)
{
    struct Case { const char* name; QByteArray ini; bool write; };
    const Case cases[] = {
        { "missing file", "", false },
        { "empty file", "", true },
        { "keys outside sections only", "a=1::1\n[General]\nb=2::2\n", true },
        { "empty sections", "[bin]\n[delete]\n", true },
        { "lines without keys",
          QByteArray("\0\xff\x01 no separator\n[unclosed\n; a=1::1\n", 36), true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useFreshWorkDir();
        if (c.write)
            writeIni(c.ini);
        messages.clear();
        lists.replaceList << UpdateFileEntry("old", "old", "", 0, "");
        EXPECT_FALSE(compile());
        EXPECT_EQ(laterMessages(), (Lines{ "No files in product ini" }));
        EXPECT_TRUE(lists.replaceList.isEmpty()) << "each run starts with empty lists";
    }
}

TEST_F(ListCompiler, InvalidPatchLineEndsTheRunAtOnce)
{
    const std::string bad = "Warning: product ini contains invalid line in section ";
    struct Case { const char* section; QByteArray value; };
    const Case cases[] = {
        { "bin", "a::1::b::2" }, { "delete", "a::1::b::2::c::d" }, { "preinstall", "x" },
        { "postinstall", "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.section);
        useFreshWorkDir();
        writeIni(QByteArray("[aaa]\nfirst=1::1\n[") + c.section + "]\nk_patch_=" + c.value
                 + "\n[zzz]\nlast=2::2\n");
        messages.clear();
        EXPECT_FALSE(compile());
        EXPECT_EQ(laterMessages(), (Lines{ bad + c.section }));
        EXPECT_EQ(describe(lists.downloadList), (Lines{ "aaa|first|1|1" }))
            << "nothing after it is read";
    }
}

// Every path the ini names must stay inside the folder it is used in. A refused one fails the
// run before anything is decided or copied, with a message naming the path and the reason.
TEST_F(ListCompiler, PathsLeadingOutOfTheirFolderFailTheRunBeforeAnyCopy)
{
    config.isClientUpdate = 0;
    const QString outside = root.path() + "/outside";
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_TRUE(QFile::link(outside, install + "/outlink"));
    ASSERT_TRUE(QFile::link(outside + "/victim", install + "/dangling"));
    ASSERT_TRUE(QFile::link("sub/../..", install + "/uplink"));
    ASSERT_TRUE(QFile::link("loop", install + "/loop"));
    ASSERT_TRUE(QDir().mkpath(install + "/sub"));
    ASSERT_TRUE(QFile::link("sub", install + "/inlink"));
    const QString up = putInstalled("up.bin", "up to date");
    const QString base = QDir(install).canonicalPath();
    const QString out = QDir(outside).canonicalPath();
    const QString rootOut = QDir(root.path()).canonicalPath();
    struct Case { const char* name; QByteArray lines; QString path; QString section; QString reason; };
    const Case cases[] = {
        { "absolute target", "a.gz=1::1::2::2::/etc/victim\n", "/etc/victim", "bin",
          "it is absolute" },
        { "'..' in a target", "a.gz=1::1::2::2::sub/../../victim\n", "sub/../../victim", "bin",
          "it contains a '..' component" },
        { "'..' in a key", "../victim=1::1\n", "../victim", "bin", "it contains a '..' component" },
        { "'..' in a patch name", "a.gz=1::1::2::2::a\n../x_patch_=1::1::2::2::a\n",
          "../x_patch_", "bin", "it contains a '..' component" },
        { "target through a link", "a.gz=1::1::2::2::outlink/victim\n", "outlink/victim", "bin",
          "it leads to " + out + "/victim, outside " + base },
        { "key through a link", "outlink/victim=1::1\n", "outlink/victim", "bin",
          "it leads to " + out + "/victim, outside " + base },
        { "dangling link", "dangling=1::1\n", "dangling", "bin",
          "it leads to " + out + "/victim, outside " + base },
        { "relative link upwards", "uplink/victim=1::1\n", "uplink/victim", "bin",
          "it leads to " + rootOut + "/victim, outside " + base },
        { "link loop", "loop/x=1::1\n", "loop/x", "bin",
          "it passes through symbolic links that cannot be followed" },
        { "the folder itself", "a.gz=1::1::2::2::.\n", ".", "bin",
          "it names the folder " + base + " itself" },
        { "delete through a link", "[delete]\noutlink=2\n", "outlink", "delete",
          "it leads to " + out + ", outside " + base },
        { "install program outside", "[preinstall]\n../run.sh=linux32\n", "../run.sh",
          "preinstall", "it contains a '..' component" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useFreshWorkDir();
        // The up-to-date file sorts first: a refused path must stop the run before its copy.
        writeIni("[aaa]\nup.bin=" + up.toUtf8() + "::10\n[bin]\n" + c.lines);
        messages.clear();
        EXPECT_FALSE(compile());
        EXPECT_EQ(laterMessages(), (Lines{ line("Refused path '" + c.path + "' in section "
                                                + c.section + " of the product ini: " + c.reason) }));
        EXPECT_FALSE(QFileInfo::exists(config.workDir + "/up.bin"));
        EXPECT_TRUE(lists.downloadList.isEmpty());
    }
    EXPECT_TRUE(QDir(outside).isEmpty());

    // Paths that stay inside, links within the installation included, compile as before.
    useFreshWorkDir();
    writeIni("[aaa]\nup.bin=" + up.toUtf8() + "::10\n[bin]\n"
             "a.gz=1::1::2::2::inlink/a\nsub/./b=1::1\n[delete]\ninlink=0\n");
    messages.clear();
    ASSERT_TRUE(compile()) << messages.join('|').toStdString();
    EXPECT_EQ(vxtest::readFile(config.workDir + "/up.bin"), QByteArray("up to date"));
    EXPECT_EQ(describe(lists.replaceList), (Lines{ "bin|a.gz|2|2|inlink/a|", "bin|sub/./b||0||" }));
    EXPECT_EQ(describe(lists.deleteList), (Lines{ "inlink" }));
}

TEST(MakeDownloadReplaceListTaskSpecification, CopiesItsListsOverTheCallersOnSuccessOnly)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    Configuration config;
    config.isClientUpdate = 1;
    config.workDir = root.path();
    config.installDir = root.path() + "/install";
    const QString ini = root.path() + "/vx3_client_linux_x86.ini";

    DownloadReplaceLists caller;
    caller.deleteList << DeleteEntry("earlier", false);
    MakeDownloadReplaceListTaskSpecification task(&config, &caller, nullptr, 0.05);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy messages(&task, &TaskSpecification::message);

    ASSERT_TRUE(vxtest::writeIni(ini, "[bin]\na=aa::1\n[zzz]\nbad_patch_=x\n"));
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(canceled, 1));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FAILED);
    EXPECT_EQ(describe(caller.deleteList), (Lines{ "earlier" }));
    EXPECT_TRUE(caller.downloadList.isEmpty());
    ASSERT_EQ(messages.count(), 2);
    EXPECT_EQ(line(messages[1][0].toString()),
              "Warning: product ini contains invalid line in section zzz");

    // Run again after a reset: compiled afresh, not appended to the first run's lists.
    // (A directory of its own: the ini reader caches files by path, size and time stamp.)
    task.reset();
    config.workDir = root.path() + "/second";
    ASSERT_TRUE(QDir().mkpath(config.workDir));
    ASSERT_TRUE(vxtest::writeIni(config.workDir + "/vx3_client_linux_x86.ini",
                                 "[bin]\na=aa::1\nb=bb::2\n[preinstall]\npre.sh=linux32\n"));
    task.execute();
    ASSERT_TRUE(vxtest::waitForCount(finished, 1));
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_FINISHED);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.05);
    EXPECT_EQ(describe(caller.downloadList), (Lines{ "bin|a|aa|1", "bin|b|bb|2" }));
    EXPECT_EQ(caller.replaceList.size(), 2);
    EXPECT_TRUE(caller.deleteList.isEmpty()) << "all five lists are copied";
    EXPECT_EQ(describe(caller.preinstallList), (Lines{ "pre.sh|0||required" }));
}

TEST(MakeDownloadReplaceListTaskSpecification, LateResultAfterResetLeavesTheCallersListsAlone)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    Configuration config;
    config.isClientUpdate = 1;
    config.workDir = root.path();
    config.installDir = root.path();
    ASSERT_TRUE(vxtest::writeIni(root.path() + "/vx3_client_linux_x86.ini", "[bin]\na=aa::1\n"));

    DownloadReplaceLists caller;
    MakeDownloadReplaceListTaskSpecification task(&config, &caller, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    task.reset(); // waits for the worker; its result is still queued
    vxtest::drainEvents();
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_IDLE);
    EXPECT_TRUE(caller.downloadList.isEmpty());
}

TEST(MakeDownloadReplaceListTaskSpecification, DeletingARunningTaskWaitsForItsWorker)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    Configuration config;
    config.isClientUpdate = 1;
    config.workDir = root.path();
    config.installDir = root.path();
    QByteArray ini = "[bin]\n";
    for (int i = 0; i < 200; ++i)
        ini += "f" + QByteArray::number(i) + "=aa::1\n";
    ASSERT_TRUE(vxtest::writeIni(root.path() + "/vx3_client_linux_x86.ini", ini));

    DownloadReplaceLists caller;
    auto* task = new MakeDownloadReplaceListTaskSpecification(&config, &caller, nullptr, 1.0);
    task->execute();
    delete task; // the worker fills the task's own lists: it must be done before they go
    QThreadPool::globalInstance()->waitForDone(-1);
    vxtest::drainEvents();
    EXPECT_TRUE(caller.downloadList.isEmpty());
}
