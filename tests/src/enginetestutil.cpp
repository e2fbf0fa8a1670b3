#include "enginetestutil.h"

#include "bytesink.h"
#include "crc.h"
#include "lzmafile.h"
#include "signaturetestutil.h"
#include "testpaths.h"

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

// The block's LZMA2 stream comes from xz (raw, fast preset, 64 KiB dictionary): quick to make,
// and a check of the reader against an encoder that is not the library's own.
QByteArray packed(const QByteArray& data)
{
    QProcess xz;
    xz.start("xz", {"--format=raw", "--lzma2=preset=0,dict=64KiB", "-c"});
    if (!xz.waitForStarted())
        return QByteArray();
    xz.write(data);
    xz.closeWriteChannel();
    if (!xz.waitForFinished() || xz.exitCode() != 0)
        return QByteArray();
    const QByteArray stream = xz.readAllStandardOutput();

    const auto* bytes = reinterpret_cast<const uint8_t*>(data.constData());
    vxpatch::ByteSink sink;
    const uint8_t dictionaryProperty = 8; // (2 | 0) << (8 / 2 + 11) = 64 KiB
    if (!vxpatch::WriteLzmaFileHeader(&sink, vxpatch::ComputeCrc(bytes, uint32_t(data.size())))
        || !sink.WriteVarint32(vxpatch::LZMA_FILE_PLAIN) || !sink.Write(&dictionaryProperty, 1)
        || !sink.WriteVarint32(uint32_t(data.size()))
        || !sink.Write(stream.constData(), size_t(stream.size())))
        return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(sink.data()), int(sink.size()));
}

QByteArray packedByLibrary(const QByteArray& data)
{
    QTemporaryDir tmp;
    const QString in = tmp.filePath("in");
    const QString out = tmp.filePath("out");
    if (!vxtest::writeFile(in, data)
        || !vxpatch::PackLzmaFile(in.toStdString(), out.toStdString(), false))
        return QByteArray();
    return vxtest::readFile(out);
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
