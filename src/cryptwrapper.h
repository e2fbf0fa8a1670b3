#ifndef CRYPTWRAPPER_H
#define CRYPTWRAPPER_H

#include <tomcrypt.h>

#include <exception>
#include <string>

// Thin layer of free functions over LibTomCrypt for RSA-PSS over SHA-1 with an 8-byte salt.
// Every library error becomes a crypt_exception whose text is the call's name, ": " and the
// library's own error text. crypt_init() runs once in the GUI thread before any check; after it
// the registries are only read, so the other functions may run on any thread at once.

class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);
    const char* what() const noexcept override;

private:
    std::string message;
};

// Registers the sprng generator and SHA-1 and installs LibTomMath as math provider.
// Calling it again changes nothing. Throws crypt_exception when a registration is refused.
void crypt_init();

// Returns when err is CRYPT_OK; otherwise throws crypt_exception("<call>: <library text>").
void crypt_check(const char* call, int err);

// Imports a DER key (PKCS #1 public or private key, or SubjectPublicKeyInfo) into *key.
// On success the caller frees it with rsa_free().
void crypt_rsa_import_key(rsa_key* key, const unsigned char* data, unsigned long len);

// True only when sig is a valid RSASSA-PSS signature (SHA-1, MGF1 SHA-1, salt 8) of msg.
// A signature the library rejects outright (wrong length, out of range) throws.
bool crypt_rsa_verify(rsa_key* key, const unsigned char* msg, unsigned long msglen,
                      const unsigned char* sig, unsigned long siglen);

// Makes a new 1024-bit key pair with public exponent 65537. Free it with rsa_free().
void crypt_rsa_make_key(rsa_key* key);

// Signs msg as crypt_rsa_verify checks it. *outlen holds the room in out on entry and the
// signature's length on return.
void crypt_rsa_sign(rsa_key* key, const unsigned char* msg, unsigned long msglen,
                    unsigned char* out, unsigned long* outlen);

// Writes the key as DER; type is PK_PUBLIC or PK_PRIVATE, optionally with PK_STD.
void crypt_rsa_export_key_file(rsa_key* key, int type, const char* path);

// Imports a DER key of at most 2048 bytes from a file.
void crypt_rsa_import_key_file(rsa_key* key, const char* path);

// Reads a whole file into a buffer from malloc() that the caller frees with free().
void crypt_read_file(const char* path, void** data, unsigned long* len);

// Replaces the file at path by the given bytes.
void crypt_write_file(const char* path, const char* data, unsigned long len);

#endif // CRYPTWRAPPER_H
