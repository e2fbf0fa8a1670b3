#include "checksigfunc.h"

#include "builtinpublickey.h"
#include "cryptwrapper.h"
#include "safepath.h"

#include <QDebug>
#include <QScopeGuard>

#include <openssl/evp.h>

#include <cerrno>
#include <exception>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

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

// Reads exactly `size` bytes at `offset`; false on an error or an early end of the file.
bool readAt(int fd, char* data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, static_cast<size_t>(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        offset += n;
    }
    return true;
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

void CheckSigFunc::readFrom(int fd)
{
    fileFd = fd;
}

int CheckSigFunc::openForReading(const QString& path, qint64& size, bool& owned)
{
    struct stat st;
    owned = !(path == file && fileFd >= 0);
    const int fd = owned ? SafePath::openRegular(path, O_RDONLY, &st) : fileFd;
    if (fd >= 0 && (owned || ::fstat(fd, &st) == 0)) {
        size = st.st_size;
        return fd;
    }
    const QString refusal = SafePath::takeRefusal();
    if (!refusal.isEmpty())
        emit message(refusal);
    emit message(QString("Could not open file %1 for reading").arg(path));
    return -1;
}

bool CheckSigFunc::readFile(const QString& path, QByteArray& data)
{
    qint64 size = 0;
    bool owned = false;
    const int fd = openForReading(path, size, owned);
    if (fd < 0)
        return false;
    bool ok = false;
    if (size <= maxFileSize) {
        data.resize(static_cast<int>(size));
        ok = readAt(fd, data.data(), size, 0);
    }
    if (owned)
        ::close(fd);
    if (!ok)
        emit message(QString("could not read file %1 correctly").arg(path));
    return ok;
}

bool CheckSigFunc::digestFile(const QString& path, QByteArray& digest)
{
    qint64 size = 0;
    bool owned = false;
    const int fd = openForReading(path, size, owned);
    if (fd < 0)
        return false;
    const auto closer = qScopeGuard([&] {
        if (owned)
            ::close(fd);
    });
    DigestPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha512(), nullptr) != 1)
        throw std::runtime_error("SHA-512 is not available");

    // Exactly the size found at opening is digested, as if the file had been read whole.
    std::vector<char> piece(static_cast<size_t>(qMin(size, digestPiece)));
    qint64 done = 0;
    while (done < size) {
        const qint64 want = qMin(size - done, digestPiece);
        if (!readAt(fd, piece.data(), want, done)) {
            emit message(QString("could not read file %1 correctly").arg(path));
            return false;
        }
        EVP_DigestUpdate(ctx.get(), piece.data(), static_cast<size_t>(want));
        done += want;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &mdLength);
    digest = QByteArray(reinterpret_cast<const char*>(md), static_cast<int>(mdLength));
    return true;
}
