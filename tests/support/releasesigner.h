#ifndef VXTEST_RELEASESIGNER_H
#define VXTEST_RELEASESIGNER_H

#include <QString>

namespace vxtest {

// Writes the detached signature the updater checks the product ini against: the file's name
// with ".sig" appended, holding the bare RSASSA-PSS signature (SHA-1, salt 8) made through the
// program's own crypto wrapper with a private key in DER form (by default the development key,
// whose public half the program is built with). Registers the crypto library on first use;
// use it from one thread at a time.
class ReleaseSigner
{
public:
    explicit ReleaseSigner(const QString& privateKeyDer);

    // Signs `file` into `file` + ".sig". False (see errorText) on an unreadable key or file.
    bool sign(const QString& file);
    QString errorText() const { return m_Error; }

    // The development private key of the source tree.
    static QString developmentKeyPath();

private:
    QString m_KeyPath;
    QString m_Error;
};

} // namespace vxtest

#endif // VXTEST_RELEASESIGNER_H
