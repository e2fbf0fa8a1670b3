#include "testpaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

namespace vxtest {

static QString envPath(const char* name, const char* fallback)
{
    const QByteArray value = qgetenv(name);
    return value.isEmpty() ? QString::fromUtf8(fallback) : QString::fromUtf8(value);
}

QString corpusDir() { return envPath("VX_CORPUS_DIR", VXTEST_DEFAULT_CORPUS_DIR); }

QString sourceDir() { return envPath("VX_SOURCE_DIR", VXTEST_DEFAULT_SOURCE_DIR); }

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size();
}

QString sha512Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

QByteArray gzipped(const QByteArray& data, const QStringList& options)
{
    QProcess gzip;
    gzip.start("gzip", QStringList{"-c"} + options);
    if (!gzip.waitForStarted())
        return QByteArray();
    gzip.write(data);
    gzip.closeWriteChannel();
    gzip.waitForFinished();
    return gzip.readAllStandardOutput();
}

QStringList runtimeFilesOf(const QString& install)
{
    const QByteArray path = QFile::encodeName(QFileInfo(install).canonicalFilePath());
    const QString key = QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(32);
    const QDir folder("/run/vx3update", "*" + key + "*", QDir::Name, QDir::AllEntries | QDir::System | QDir::Hidden);
    return folder.entryList().replaceInStrings(QRegularExpression("^"), folder.path() + "/");
}

} // namespace vxtest
