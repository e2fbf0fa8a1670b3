#include "signaturetestutil.h"

#include <QProcess>

namespace sigtest {

QString developmentPrivateKeyPath()
{
    return QString::fromUtf8(VX_DEVELOPMENT_PRIVATE_KEY);
}

QString builtinKeySourcePath()
{
    return QString::fromUtf8(VX_PUBLIC_KEY_DER);
}

QString developmentPublicKeyPath()
{
    return QString::fromUtf8(VX_DEVELOPMENT_PUBLIC_KEY);
}

int runOpenssl(const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start("openssl", args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

static QStringList pssOptions()
{
    return {"dgst", "-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_pss_saltlen:8",
            "-keyform", "DER"};
}

bool opensslSign(const QString& derKey, const QString& file, const QString& sigOut)
{
    return runOpenssl(pssOptions() << "-sign" << derKey << "-out" << sigOut << file) == 0;
}

bool opensslVerify(const QString& derKey, const QString& file, const QString& sig)
{
    return runOpenssl(pssOptions() << "-verify" << derKey << "-signature" << sig << file) == 0;
}

} // namespace sigtest
