#include "cryptwrapper.h"

#include "safepath.h"

#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace {

// Registry indexes, written by crypt_init() before any check runs and only read afterwards.
int sha1Index = -1;
int sprngIndex = -1;

const int saltLength = 8;
const int keyBits = 1024;
const long publicExponent = 65537;
const unsigned long keyFileRoom = 2048;
const size_t readPiece = 2048;

struct FileCloser
{
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A regular file opened for reading, never through a link at its name, never blocking on a fifo.
FilePtr openForReading(const char* path)
{
    const int fd = SafePath::openRegular(QFile::decodeName(path));
    FILE* file = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (file == nullptr && fd >= 0)
        ::close(fd);
    return FilePtr(file);
}

// Without a math provider the library aborts on its argument checks; refuse in time instead.
void requireMath(const char* call)
{
    if (ltc_mp.name == nullptr)
        throw crypt_exception(std::string(call) + ": crypto library not initialised");
}

void sha1Digest(const unsigned char* msg, unsigned long msglen, unsigned char digest[20])
{
    hash_state md;
    crypt_check("sha1", sha1_init(&md));
    if (msglen > 0)
        crypt_check("sha1", sha1_process(&md, msg, msglen));
    crypt_check("sha1", sha1_done(&md, digest));
}

} // namespace

crypt_exception::crypt_exception(std::string message)
    : message(std::move(message))
{
}

const char* crypt_exception::what() const noexcept
{
    return message.c_str();
}

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sprng");
    ltc_mp = ltm_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    sha1Index = find_hash("sha1");
    sprngIndex = find_prng("sprng");
}

void crypt_check(const char* call, int err)
{
    if (err != CRYPT_OK)
        throw crypt_exception(std::string(call) + ": " + error_to_string(err));
}

void crypt_rsa_import_key(rsa_key* key, const unsigned char* data, unsigned long len)
{
    requireMath("rsa_import");
    if (key == nullptr || data == nullptr)
        crypt_check("rsa_import", CRYPT_INVALID_ARG);
    // The library aborts the process on empty input rather than returning an error.
    if (len == 0)
        crypt_check("rsa_import", CRYPT_INVALID_PACKET);
    crypt_check("rsa_import", rsa_import(data, len, key));
}

bool crypt_rsa_verify(rsa_key* key, const unsigned char* msg, unsigned long msglen,
                      const unsigned char* sig, unsigned long siglen)
{
    if (key == nullptr || sig == nullptr || (msg == nullptr && msglen > 0))
        crypt_check("rsa_verify_hash", CRYPT_INVALID_ARG);
    unsigned char digest[20];
    sha1Digest(msg, msglen, digest);
    int stat = 0;
    crypt_check("rsa_verify_hash",
                rsa_verify_hash_ex(sig, siglen, digest, sizeof digest, LTC_PKCS_1_PSS, sha1Index,
                                   saltLength, &stat, key));
    return stat == 1;
}

void crypt_rsa_make_key(rsa_key* key)
{
    requireMath("rsa_make_key");
    if (key == nullptr)
        crypt_check("rsa_make_key", CRYPT_INVALID_ARG);
    prng_state prng;
    crypt_check("rsa_make_key", rsa_make_key(&prng, sprngIndex, keyBits / 8, publicExponent, key));
}

void crypt_rsa_sign(rsa_key* key, const unsigned char* msg, unsigned long msglen,
                    unsigned char* out, unsigned long* outlen)
{
    if (key == nullptr || out == nullptr || outlen == nullptr || (msg == nullptr && msglen > 0))
        crypt_check("rsa_sign_hash", CRYPT_INVALID_ARG);
    unsigned char digest[20];
    sha1Digest(msg, msglen, digest);
    prng_state prng;
    crypt_check("rsa_sign_hash",
                rsa_sign_hash_ex(digest, sizeof digest, out, outlen, LTC_PKCS_1_PSS, &prng,
                                 sprngIndex, sha1Index, saltLength, key));
}

void crypt_rsa_export_key_file(rsa_key* key, int type, const char* path)
{
    if (key == nullptr)
        crypt_check("rsa_export", CRYPT_INVALID_ARG);
    unsigned char buffer[keyFileRoom];
    unsigned long len = sizeof buffer;
    crypt_check("rsa_export", rsa_export(buffer, &len, type, key));
    crypt_write_file(path, reinterpret_cast<const char*>(buffer), len);
}

void crypt_rsa_import_key_file(rsa_key* key, const char* path)
{
    FilePtr file(openForReading(path));
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + path);
    unsigned char buffer[keyFileRoom];
    const size_t len = std::fread(buffer, 1, sizeof buffer, file.get());
    if (std::ferror(file.get()))
        throw crypt_exception(std::string("Cannot read file: ") + path);
    crypt_rsa_import_key(key, buffer, len);
}

void crypt_read_file(const char* path, void** data, unsigned long* len)
{
    FilePtr file(openForReading(path));
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + path);

    std::unique_ptr<unsigned char, decltype(&std::free)> buffer(nullptr, &std::free);
    size_t size = 0;
    size_t capacity = 0;
    for (;;) {
        if (readPiece > capacity - size) {
            const size_t grown = capacity == 0 ? readPiece : capacity * 2;
            void* bigger = std::realloc(buffer.get(), grown);
            if (bigger == nullptr)
                throw crypt_exception(std::string("Out of memory reading file: ") + path);
            buffer.release();
            buffer.reset(static_cast<unsigned char*>(bigger));
            capacity = grown;
        }
        const size_t got = std::fread(buffer.get() + size, 1, readPiece, file.get());
        size += got;
        if (got < readPiece)
            break;
    }
    if (std::ferror(file.get()))
        throw crypt_exception(std::string("Cannot read file: ") + path);
    *data = buffer.release();
    *len = size;
}

void crypt_write_file(const char* path, const char* data, unsigned long len)
{
    // A new file in the place of whatever had the name, never written through a link.
    const int fd = SafePath::createFile(QFile::decodeName(path), 0644, true);
    FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (file == nullptr && fd >= 0)
        ::close(fd);
    if (file == nullptr)
        throw crypt_exception(std::string("Cannot open file for writing: ") + path);
    const size_t written = len > 0 ? std::fwrite(data, 1, len, file) : 0;
    const bool closed = std::fclose(file) == 0;
    if (written != len || !closed)
        throw crypt_exception(std::string("Cannot write file: ") + path);
}
