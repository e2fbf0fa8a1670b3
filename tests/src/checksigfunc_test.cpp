#include "checksigfunc.h"
#include "cryptwrapper.h"
#include "signaturetestutil.h"
#include "testpaths.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const emptyDigest =
    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
    "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e";

struct Verdict
{
    bool pass;
    QStringList messages;
};

Verdict check(const QString& file, const QString& sha512)
{
    CheckSigFunc func(file, sha512);
    Verdict v{false, {}};
    QObject::connect(&func, &ASyncFunc::message, [&](const QString& text) { v.messages << text; });
    v.pass = func.run();
    return v;
}

QString sha512sum(const QString& file)
{
    QProcess process;
    process.start("sha512sum", {file});
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return QString();
    return QString::fromLatin1(process.readAllStandardOutput().left(128));
}

QByteArray randomBytes(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(QRandomGenerator::global()->bounded(256));
    return data;
}

class CheckSigFuncTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        crypt_init();
        ASSERT_TRUE(dir.isValid());
    }

    QString path(const QString& name) const { return dir.filePath(name); }

    QString writeSigned(const QString& name, const QByteArray& data)
    {
        const QString file = path(name);
        EXPECT_TRUE(vxtest::writeFile(file, data));
        EXPECT_TRUE(sigtest::opensslSign(sigtest::developmentPrivateKeyPath(), file, file + ".sig"));
        return file;
    }

    // The signature tests need the development key built in.
    bool builtWithDevelopmentKey() const
    {
        return vxtest::readFile(sigtest::builtinKeySourcePath()) ==
               vxtest::readFile(sigtest::developmentPublicKeyPath());
    }

    QTemporaryDir dir;
};

} // namespace

TEST_F(CheckSigFuncTest, DigestComparison)
{
    // Spans several read pieces and ends inside one.
    const QByteArray data = randomBytes(3 * (1 << 20) + 12345);
    ASSERT_TRUE(vxtest::writeFile(path("data"), data));
    ASSERT_TRUE(vxtest::writeFile(path("other"), "other"));
    ASSERT_TRUE(vxtest::writeFile(path("empty"), QByteArray()));
    const QString digest = sha512sum(path("data"));
    ASSERT_EQ(digest.size(), 128);

    const struct {
        const char* name;
        QString file;
        QString sha512;
        bool pass;
    } cases[] = {
        {"lower case", path("data"), digest, true},
        {"upper case", path("data"), digest.toUpper(), true},
        {"one character short", path("data"), digest.left(127), false},
        {"trailing blank", path("data"), digest + " ", false},
        {"leading blank", path("data"), " " + digest, false},
        {"another file's digest", path("other"), digest, false},
        {"empty file, digest of empty input", path("empty"), emptyDigest, true},
        {"empty file, another digest", path("empty"), digest, false},
        {"not hex", path("data"), QString(128, 'z'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Verdict v = check(c.file, c.sha512);
        EXPECT_EQ(v.pass, c.pass);
        EXPECT_TRUE(v.messages.isEmpty()) << v.messages.join('|').toStdString();
    }
}

TEST_F(CheckSigFuncTest, UnreadableFilesFailAndNameThemselves)
{
    const QString missing = path("missing");
    const QString folder = dir.path();
    // Held open for writing here, the fifo would not block an open; an empty file is behind the link.
    const QString fifo = path("fifo");
    const QString link = path("link");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const int writer = ::open(QFile::encodeName(fifo).constData(), O_RDWR);
    ASSERT_TRUE(vxtest::writeFile(path("empty"), "") && QFile::link("empty", link));
    const struct {
        const char* name;
        QString file;
        QString sha512;
        QString text;
    } cases[] = {
        {"missing, digest", missing, emptyDigest, "Could not open file " + missing + " for reading"},
        {"missing, signature", missing, QString(), "Could not open file " + missing + " for reading"},
        {"folder, digest", folder, emptyDigest, "Could not open file " + folder + " for reading"},
        {"folder, signature", folder, QString(), "Could not open file " + folder + " for reading"},
        {"fifo, digest", fifo, emptyDigest, "Could not open file " + fifo + " for reading"},
        {"link, digest", link, emptyDigest, "Could not open file " + link + " for reading"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Verdict v = check(c.file, c.sha512);
        EXPECT_FALSE(v.pass);
        EXPECT_EQ(v.messages, QStringList{c.text});
    }
    ::close(writer);
}

TEST_F(CheckSigFuncTest, SignatureMadeByOpensslPasses)
{
    if (!builtWithDevelopmentKey())
        GTEST_SKIP() << "built with another public key";
    const QString file = writeSigned("product.ini", "[file]\nsha512=abc\n");
    const QString empty = writeSigned("empty.ini", QByteArray());
    EXPECT_TRUE(check(file, QString()).pass);
    EXPECT_TRUE(check(empty, QString()).pass);
}

TEST_F(CheckSigFuncTest, BadSignaturesFailQuietly)
{
    if (!builtWithDevelopmentKey())
        GTEST_SKIP() << "built with another public key";
    const QString file = writeSigned("product.ini", "[file]\nsha512=abc\n");
    const QString other = writeSigned("other.ini", "[file]\nsha512=abd\n");
    const QByteArray good = vxtest::readFile(file + ".sig");
    const QByteArray otherSig = vxtest::readFile(other + ".sig");
    QByteArray flipped = good;
    flipped[64] = char(flipped[64] ^ 0x10);

    const struct {
        const char* name;
        QByteArray sig;
    } cases[] = {
        {"another file's signature", otherSig},
        {"truncated", good.left(127)},
        {"overlong", good + good.right(1)},
        {"empty", QByteArray()},
        {"one bit flipped", flipped},
        {"all ones", QByteArray(128, '\xff')},
        {"text", QByteArray("not a signature")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(vxtest::writeFile(file + ".sig", c.sig));
        const Verdict v = check(file, QString());
        EXPECT_FALSE(v.pass);
        EXPECT_TRUE(v.messages.isEmpty()) << v.messages.join('|').toStdString();
    }
}

TEST_F(CheckSigFuncTest, MissingSignatureFileIsNamed)
{
    ASSERT_TRUE(vxtest::writeFile(path("product.ini"), "x"));
    const Verdict v = check(path("product.ini"), QString());
    EXPECT_FALSE(v.pass);
    EXPECT_EQ(v.messages, QStringList{"Could not open file " + path("product.ini.sig") + " for reading"});
}

TEST_F(CheckSigFuncTest, SignatureFileThatIsAFolderFails)
{
    ASSERT_TRUE(vxtest::writeFile(path("product.ini"), "x"));
    ASSERT_TRUE(QDir(dir.path()).mkdir("product.ini.sig"));
    const Verdict v = check(path("product.ini"), QString());
    EXPECT_FALSE(v.pass);
    EXPECT_EQ(v.messages.size(), 1);
}
