#include "releasesigner.h"

#include "cryptwrapper.h"

#include <QFile>

#include <cstdlib>
#include <memory>

namespace vxtest {

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

} // namespace

ReleaseSigner::ReleaseSigner(const QString& privateKeyDer)
    : m_KeyPath(privateKeyDer)
{
}

bool ReleaseSigner::sign(const QString& file)
{
    m_Error.clear();
    const QByteArray keyPath = QFile::encodeName(m_KeyPath);
    const QByteArray filePath = QFile::encodeName(file);
    const QByteArray sigPath = QFile::encodeName(file + ".sig");
    rsa_key key;
    bool haveKey = false;
    try {
        crypt_init();
        crypt_rsa_import_key_file(&key, keyPath.constData());
        haveKey = true;
        if (key.type != PK_PRIVATE)
            throw crypt_exception("not a private key: " + keyPath.toStdString());
        void* data = nullptr;
        unsigned long length = 0;
        crypt_read_file(filePath.constData(), &data, &length);
        std::unique_ptr<void, FreeDeleter> owned(data);
        unsigned char signature[1024];
        unsigned long signatureLength = sizeof(signature);
        crypt_rsa_sign(&key, static_cast<const unsigned char*>(data), length, signature,
                       &signatureLength);
        crypt_write_file(sigPath.constData(), reinterpret_cast<const char*>(signature),
                         signatureLength);
    } catch (const crypt_exception& e) {
        m_Error = QString::fromStdString(e.what());
    }
    if (haveKey)
        rsa_free(&key);
    return m_Error.isEmpty();
}

QString ReleaseSigner::developmentKeyPath()
{
    return QString::fromUtf8(VXTEST_DEVELOPMENT_PRIVATE_KEY);
}

} // namespace vxtest
