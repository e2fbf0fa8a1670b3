#ifndef SIGNATURETESTUTIL_H
#define SIGNATURETESTUTIL_H

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace sigtest {

// The development key pair's private half (PKCS #1 DER), kept in the test tree.
QString developmentPrivateKeyPath();

// The public key file the build compiled in (VX_PUBLIC_KEY_DER) and the development public key.
QString builtinKeySourcePath();
QString developmentPublicKeyPath();

// Runs openssl with the arguments; returns its exit code, -1 when it did not run.
int runOpenssl(const QStringList& args);

// RSA-PSS over SHA-1 with an 8-byte salt by openssl, as the release tools sign.
bool opensslSign(const QString& derKey, const QString& file, const QString& sigOut);
bool opensslVerify(const QString& derKey, const QString& file, const QString& sig);

} // namespace sigtest

#endif // SIGNATURETESTUTIL_H
