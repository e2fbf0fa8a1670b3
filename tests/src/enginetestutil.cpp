#include "enginetestutil.h"

#include "lzmafile.h"
#include "signaturetestutil.h"
#include "testpaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

namespace enginetest {

bool signsWithBuiltinKey()
{
    return vxtest::readFile(sigtest::builtinKeySourcePath())
        == vxtest::readFile(sigtest::developmentPublicKeyPath());
}

bool put(const QString& path, const QByteArray& data)
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && vxtest::writeFile(path, data);
}

QByteArray packed(const QByteArray& data)
{
    QTemporaryDir tmp;
    const QString in = tmp.filePath("in");
    const QString out = tmp.filePath("out");
    if (!vxtest::writeFile(in, data)
        || !vxpatch::PackLzmaFile(in.toStdString(), out.toStdString(), false))
        return QByteArray();
    return vxtest::readFile(out);
}

QByteArray gzipped(const QByteArray& data)
{
    QProcess gzip;
    gzip.start("gzip", {"-c", "-n"});
    if (!gzip.waitForStarted())
        return QByteArray();
    gzip.write(data);
    gzip.closeWriteChannel();
    gzip.waitForFinished();
    return gzip.readAllStandardOutput();
}

QByteArray signature(const QByteArray& data)
{
    QTemporaryDir tmp;
    const QString in = tmp.filePath("in");
    const QString sig = tmp.filePath("in.sig");
    if (!vxtest::writeFile(in, data)
        || !sigtest::opensslSign(sigtest::developmentPrivateKeyPath(), in, sig))
        return QByteArray();
    return vxtest::readFile(sig);
}

QString sha512Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

bool publishProductIni(const QString& root, int version, const QString& iniName,
                       const QByteArray& ini)
{
    const QString dir = root + "/" + QString::number(version) + "/";
    const QByteArray pack = packed(ini);
    const QByteArray sig = signature(ini);
    return !pack.isEmpty() && !sig.isEmpty() && put(dir + iniName + "._lzma2_", pack)
        && put(dir + iniName + ".sig", sig);
}

QMap<QString, QByteArray> treeOf(const QString& dir)
{
    QMap<QString, QByteArray> tree;
    const QDir base(dir);
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(base.relativeFilePath(path), vxtest::readFile(path));
    }
    return tree;
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

} // namespace enginetest
