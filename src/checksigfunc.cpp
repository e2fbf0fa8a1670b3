#include "checksigfunc.h"

#include "builtinpublickey.h"
#include "cryptwrapper.h"

#include <QDebug>
#include <QFile>

#include <openssl/evp.h>

#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// Largest file a QByteArray can hold, with room for its header.
const qint64 maxFileSize = std::numeric_limits<int>::max() - 64;
// Digested files are read in pieces of this size rather than held whole.
const qint64 digestPiece = 1 << 20;

struct DigestFree
{
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using DigestPtr = std::unique_ptr<EVP_MD_CTX, DigestFree>;

// Frees an imported key however the check ends.
class KeyHolder
{
public:
    KeyHolder() = default;
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;
    ~KeyHolder()
    {
        if (imported)
            rsa_free(&key);
    }

    void import(const unsigned char* data, unsigned long len)
    {
        crypt_rsa_import_key(&key, data, len);
        imported = true;
    }

    rsa_key key;

private:
    bool imported = false;
};

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

} // namespace

CheckSigFunc::CheckSigFunc(const QString& file, const QString& sha512, const QString& sigFile)
    : file(file)
    , sha512(sha512)
    , sigFile(sigFile.isEmpty() ? file + ".sig" : sigFile)
{
}

bool CheckSigFunc::run()
{
    // A pool thread must not see an exception; running out of memory for a huge file is one.
    try {
        return sha512.isEmpty() ? checkRSA() : checkSHA512();
    } catch (const std::exception& e) {
        qDebug() << "CheckSigFunc::run failed for" << file << e.what();
    } catch (...) {
        qDebug() << "CheckSigFunc::run failed for" << file;
    }
    return false;
}

bool CheckSigFunc::checkSHA512()
{
    QByteArray digest;
    if (!digestFile(file, digest))
        return false;
    const QString computed = QString::fromLatin1(digest.toHex());
    const bool pass = sha512.compare(computed, Qt::CaseInsensitive) == 0;
    qDebug() << "SHA512 check:" << sha512 << computed << "=>" << (pass ? "true" : "false");
    return pass;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray data;
    if (!readFile(file, data)) {
        qDebug() << "RSA check failed, could not read" << file;
        return false;
    }
    const QString& sigPath = sigFile;
    QByteArray sig;
    if (!readFile(sigPath, sig)) {
        qDebug() << "RSA check failed, could not read" << sigPath;
        return false;
    }

    bool pass = false;
    try {
        KeyHolder holder;
        holder.import(builtinPublicKey, builtinPublicKeyLength);
        pass = crypt_rsa_verify(&holder.key, bytes(data), data.size(), bytes(sig), sig.size());
        qDebug() << "RSA check" << (pass ? "true" : "false");
    } catch (const crypt_exception& e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
        pass = false;
    }
    return pass;
}

bool CheckSigFunc::readFile(const QString& path, QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        emit message(QString("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = f.size();
    if (size <= maxFileSize) {
        data.resize(static_cast<int>(size));
        if (f.read(data.data(), size) == size) {
            f.close();
            return true;
        }
    }
    emit message(QString("could not read file %1 correctly").arg(path));
    return false;
}

bool CheckSigFunc::digestFile(const QString& path, QByteArray& digest)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        emit message(QString("Could not open file %1 for reading").arg(path));
        return false;
    }
    DigestPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) != 1)
        throw std::runtime_error("SHA-512 is not available");

    // Exactly the size found at opening is digested, as if the file had been read whole.
    const qint64 size = f.size();
    std::vector<char> piece(static_cast<size_t>(qMin(size, digestPiece)));
    qint64 remaining = size;
    while (remaining > 0) {
        const qint64 want = qMin(remaining, digestPiece);
        const qint64 got = f.read(piece.data(), want);
        if (got <= 0)
            break;
        EVP_DigestUpdate(ctx.get(), piece.data(), static_cast<size_t>(got));
        remaining -= got;
    }
    if (remaining != 0) {
        emit message(QString("could not read file %1 correctly").arg(path));
        return false;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &mdLength);
    digest = QByteArray(reinterpret_cast<const char*>(md), static_cast<int>(mdLength));
    return true;
}
