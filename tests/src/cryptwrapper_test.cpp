#include "builtinpublickey.h"
#include "cryptwrapper.h"
#include "signaturetestutil.h"
#include "testpaths.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

std::string local(const QString& path)
{
    return QDir::toNativeSeparators(path).toStdString();
}

// A key imported for one test and freed at its end.
struct ScopedKey
{
    ScopedKey() = default;
    ~ScopedKey()
    {
        if (valid)
            rsa_free(&key);
    }
    rsa_key key;
    bool valid = false;
};

class CryptWrapper : public ::testing::Test
{
protected:
    void SetUp() override
    {
        crypt_init();
        ASSERT_TRUE(dir.isValid());
    }

    QString path(const char* name) const { return dir.filePath(name); }

    void importPrivate(ScopedKey& k)
    {
        crypt_rsa_import_key_file(&k.key, local(sigtest::developmentPrivateKeyPath()).c_str());
        k.valid = true;
    }

    QByteArray sign(rsa_key* key, const QByteArray& msg)
    {
        unsigned char out[512];
        unsigned long outlen = sizeof out;
        crypt_rsa_sign(key, bytes(msg), msg.size(), out, &outlen);
        return QByteArray(reinterpret_cast<const char*>(out), int(outlen));
    }

    QTemporaryDir dir;
};

std::string libraryText(const char* call, int err)
{
    return std::string(call) + ": " + error_to_string(err);
}

} // namespace

TEST_F(CryptWrapper, InitTwiceSucceeds)
{
    EXPECT_NO_THROW(crypt_init());
    EXPECT_NO_THROW(crypt_init());
}

TEST_F(CryptWrapper, CheckThrowsCallAndLibraryText)
{
    EXPECT_NO_THROW(crypt_check("rsa_import", CRYPT_OK));
    try {
        crypt_check("rsa_import", CRYPT_INVALID_PACKET);
        FAIL() << "no exception";
    } catch (const crypt_exception& e) {
        EXPECT_EQ(std::string(e.what()), libraryText("rsa_import", CRYPT_INVALID_PACKET));
    }
}

TEST_F(CryptWrapper, BuiltinKeyIsTheConfiguredFile)
{
    const QByteArray configured = vxtest::readFile(sigtest::builtinKeySourcePath());
    ASSERT_FALSE(configured.isEmpty());
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(builtinPublicKey), int(builtinPublicKeyLength)),
              configured);
}

TEST_F(CryptWrapper, DevelopmentKeyPairMatchesAndHasThePublishedForm)
{
    ScopedKey priv;
    importPrivate(priv);
    crypt_rsa_export_key_file(&priv.key, PK_PUBLIC, local(path("pub.der")).c_str());
    const QByteArray exported = vxtest::readFile(path("pub.der"));
    EXPECT_EQ(exported.size(), 140);
    EXPECT_EQ(exported, vxtest::readFile(sigtest::developmentPublicKeyPath()));
}

TEST_F(CryptWrapper, VerifiesSignatureMadeByOpenssl)
{
    const QByteArray msg = "product ini contents\n";
    ASSERT_TRUE(vxtest::writeFile(path("msg"), msg));
    ASSERT_TRUE(sigtest::opensslSign(sigtest::developmentPrivateKeyPath(), path("msg"), path("msg.sig")));
    const QByteArray sig = vxtest::readFile(path("msg.sig"));
    ASSERT_EQ(sig.size(), 128);

    ScopedKey pub;
    const QByteArray pubDer = vxtest::readFile(sigtest::developmentPublicKeyPath());
    crypt_rsa_import_key(&pub.key, bytes(pubDer), pubDer.size());
    pub.valid = true;
    EXPECT_TRUE(crypt_rsa_verify(&pub.key, bytes(msg), msg.size(), bytes(sig), sig.size()));
    const QByteArray other = "product ini contents!";
    EXPECT_FALSE(crypt_rsa_verify(&pub.key, bytes(other), other.size(), bytes(sig), sig.size()));
}

TEST_F(CryptWrapper, SignatureVerifiesWithOpenssl)
{
    ScopedKey priv;
    importPrivate(priv);
    const QByteArray msg(70000, 'x');
    ASSERT_TRUE(vxtest::writeFile(path("msg"), msg));
    const QByteArray sig = sign(&priv.key, msg);
    EXPECT_EQ(sig.size(), 128);
    ASSERT_TRUE(vxtest::writeFile(path("msg.sig"), sig));
    EXPECT_TRUE(sigtest::opensslVerify(sigtest::developmentPublicKeyPath(), path("msg"), path("msg.sig")));

    QByteArray flipped = sig;
    flipped[5] = char(flipped[5] ^ 1);
    ASSERT_TRUE(vxtest::writeFile(path("msg.sig"), flipped));
    EXPECT_FALSE(sigtest::opensslVerify(sigtest::developmentPublicKeyPath(), path("msg"), path("msg.sig")));
}

TEST_F(CryptWrapper, SignsEmptyMessage)
{
    ScopedKey priv;
    importPrivate(priv);
    const QByteArray empty;
    const QByteArray sig = sign(&priv.key, empty);
    EXPECT_TRUE(crypt_rsa_verify(&priv.key, bytes(empty), 0, bytes(sig), sig.size()));
    ASSERT_TRUE(vxtest::writeFile(path("empty"), empty));
    ASSERT_TRUE(vxtest::writeFile(path("empty.sig"), sig));
    EXPECT_TRUE(sigtest::opensslVerify(sigtest::developmentPublicKeyPath(), path("empty"), path("empty.sig")));
}

TEST_F(CryptWrapper, MadeKeyExportsImportsAndInteroperates)
{
    ScopedKey made;
    crypt_rsa_make_key(&made.key);
    made.valid = true;
    crypt_rsa_export_key_file(&made.key, PK_PRIVATE, local(path("priv.der")).c_str());
    crypt_rsa_export_key_file(&made.key, PK_PUBLIC, local(path("pub.der")).c_str());
    EXPECT_EQ(vxtest::readFile(path("pub.der")).size(), 140);

    const QByteArray msg = "signed by a fresh key";
    ASSERT_TRUE(vxtest::writeFile(path("msg"), msg));
    ASSERT_TRUE(sigtest::opensslSign(path("priv.der"), path("msg"), path("msg.sig")));

    ScopedKey pub;
    crypt_rsa_import_key_file(&pub.key, local(path("pub.der")).c_str());
    pub.valid = true;
    EXPECT_EQ(pub.key.type, PK_PUBLIC);
    const QByteArray sig = vxtest::readFile(path("msg.sig"));
    EXPECT_TRUE(crypt_rsa_verify(&pub.key, bytes(msg), msg.size(), bytes(sig), sig.size()));

    ASSERT_TRUE(vxtest::writeFile(path("msg.sig"), sign(&made.key, msg)));
    EXPECT_TRUE(sigtest::opensslVerify(path("pub.der"), path("msg"), path("msg.sig")));
}

TEST_F(CryptWrapper, MalformedKeysThrowImportError)
{
    const QByteArray good(reinterpret_cast<const char*>(builtinPublicKey), int(builtinPublicKeyLength));
    QByteArray badLength = good;
    badLength[2] = char(0x7f);
    QByteArray modulusNotInteger = good;
    modulusNotInteger[3] = char(0x04);
    const struct {
        const char* name;
        QByteArray der;
    } cases[] = {
        {"empty", QByteArray()},
        {"one byte", QByteArray(1, '\x30')},
        {"truncated", good.left(100)},
        {"overlong length", badLength},
        {"modulus not an integer", modulusNotInteger},
        {"text", QByteArray("-----BEGIN PUBLIC KEY-----")},
        {"zeros", QByteArray(140, '\0')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rsa_key key;
        try {
            crypt_rsa_import_key(&key, bytes(c.der), c.der.size());
            rsa_free(&key);
            ADD_FAILURE() << "imported";
        } catch (const crypt_exception& e) {
            EXPECT_EQ(std::string(e.what()).rfind("rsa_import: ", 0), 0u) << e.what();
        }
    }
}

TEST_F(CryptWrapper, MalformedSignaturesThrowOrFail)
{
    ScopedKey priv;
    importPrivate(priv);
    const QByteArray msg = "message";
    const QByteArray sig = sign(&priv.key, msg);
    const struct {
        const char* name;
        QByteArray sig;
        bool wrongLength;
    } cases[] = {
        {"empty", QByteArray(), true},
        {"truncated", sig.left(127), true},
        {"overlong", sig + '\0', true},
        {"above the modulus", QByteArray(128, '\xff'), false},
        {"zeros", QByteArray(128, '\0'), false},
        {"another message's", sign(&priv.key, "massage"), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool threw = false;
        bool pass = false;
        try {
            pass = crypt_rsa_verify(&priv.key, bytes(msg), msg.size(), bytes(c.sig), c.sig.size());
        } catch (const crypt_exception& e) {
            threw = true;
            EXPECT_EQ(std::string(e.what()).rfind("rsa_verify_hash: ", 0), 0u) << e.what();
        }
        EXPECT_FALSE(pass);
        if (c.wrongLength) {
            EXPECT_TRUE(threw);
        }
    }
}

TEST_F(CryptWrapper, FilesRoundTripAcrossPieceBoundaries)
{
    for (int size : {0, 1, 2047, 2048, 2049, 4096, 100001}) {
        SCOPED_TRACE(size);
        std::vector<char> data(size);
        for (int i = 0; i < size; ++i)
            data[i] = char(i * 7 + 3);
        crypt_write_file(local(path("f")).c_str(), data.data(), data.size());
        void* read = nullptr;
        unsigned long len = 0;
        crypt_read_file(local(path("f")).c_str(), &read, &len);
        ASSERT_EQ(len, static_cast<unsigned long>(size));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), static_cast<const char*>(read)));
        std::free(read);
    }
}

TEST_F(CryptWrapper, UnopenableFilesThrowTheirTexts)
{
    const std::string missing = local(path("no/such/file"));
    const std::string folder = local(dir.path());
    void* data = nullptr;
    unsigned long len = 0;
    rsa_key key;
    const struct {
        const char* name;
        std::function<void()> call;
        std::string text;
    } cases[] = {
        {"read", [&] { crypt_read_file(missing.c_str(), &data, &len); },
         "Cannot open file for reading: " + missing},
        {"import", [&] { crypt_rsa_import_key_file(&key, missing.c_str()); },
         "Cannot open file for reading: " + missing},
        {"write", [&] { crypt_write_file(missing.c_str(), "x", 1); },
         "Cannot open file for writing: " + missing},
        {"write folder", [&] { crypt_write_file(folder.c_str(), "x", 1); },
         "Cannot open file for writing: " + folder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            c.call();
            ADD_FAILURE() << "no exception";
        } catch (const crypt_exception& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }
}

TEST_F(CryptWrapper, ExportToUnopenableFileThrows)
{
    ScopedKey priv;
    importPrivate(priv);
    const std::string missing = local(path("no/such/key.der"));
    try {
        crypt_rsa_export_key_file(&priv.key, PK_PUBLIC, missing.c_str());
        FAIL() << "no exception";
    } catch (const crypt_exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file for writing: " + missing);
    }
}
