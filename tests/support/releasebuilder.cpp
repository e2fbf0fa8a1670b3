#include "releasebuilder.h"

#include "ensemblewriter.h"
#include "lzmafile.h"
#include "productiniwriter.h"
#include "releasesigner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <zlib.h>

namespace vxtest {

namespace {

const char kPackageSuffix[] = "._lzma2_";
const char kGzipSuffix[] = ".gz";
const char kPatchSuffix[] = "._patch_";

std::string osPath(const QString& path)
{
    return QFile::encodeName(path).toStdString();
}

bool makeParent(const QString& path)
{
    return QDir().mkpath(QFileInfo(path).absolutePath());
}

// Writes `input` to `output` as one gzip member at gzip's default level, which is three times
// quicker than the highest on big programs for a few per mille of size.
bool gzipFile(const QString& input, const QString& output)
{
    QFile in(input);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = in.readAll();
    gzFile out = gzopen(osPath(output).c_str(), "wb6");
    if (!out)
        return false;
    bool ok = true;
    for (qint64 done = 0; ok && done < data.size();) {
        const unsigned chunk = unsigned(std::min<qint64>(data.size() - done, 1 << 20));
        ok = gzwrite(out, data.constData() + done, chunk) == int(chunk);
        done += chunk;
    }
    return gzclose(out) == Z_OK && ok;
}

bool readBytes(const QString& path, Bytes* out)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = file.readAll();
    out->assign(data.constBegin(), data.constEnd());
    return file.error() == QFile::NoError;
}

bool writeBytes(const QString& path, const Bytes& data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const qint64 size = qint64(data.size());
    return file.write(reinterpret_cast<const char*>(data.data()), size) == size;
}

ProductIniWriter::Digested digestOf(const QString& path)
{
    return {ReleaseFolder::sha512OfFile(path), QFileInfo(path).size()};
}

ProductIniWriter::Digested digestOf(const ReleaseFolder::File& file)
{
    return {file.sha512, file.size};
}

} // namespace

ReleaseBuilder::ReleaseBuilder(const Options& options)
    : m_Options(options)
{
}

QString ReleaseBuilder::versionDir() const
{
    return m_Options.serverRoot + "/" + QString::number(m_Options.version);
}

QString ReleaseBuilder::iniPath() const
{
    return versionDir() + "/" + ProductIniWriter::fileName(m_Options.client);
}

QString ReleaseBuilder::section() const
{
    if (!m_Options.section.isEmpty())
        return m_Options.section;
    return m_Options.client ? QString("client") : QString("update");
}

bool ReleaseBuilder::fail(const QString& text)
{
    m_Error = text;
    return false;
}

bool ReleaseBuilder::build()
{
    m_Error.clear();
    m_Report.clear();
    if (!checkOptions())
        return false;
    if (!m_New.scan(m_Options.newDir))
        return fail(m_New.errorText());
    if (!m_Options.oldDir.isEmpty() && !m_Old.scan(m_Options.oldDir))
        return fail(m_Old.errorText());
    if (m_New.paths().isEmpty())
        return fail(QString("no files in %1").arg(m_Options.newDir));
    if (!checkNames())
        return false;

    ProductIniWriter ini;
    for (const QString& path : m_New.paths()) {
        if (!publishFile(path, ini))
            return false;
        if (isPatched(path) && m_Old.file(path).sha512 != m_New.file(path).sha512
            && !publishPatch(path, ini))
            return false;
    }
    if (m_Options.client)
        listDeletions(ini);
    for (const QString& program : m_Options.preinstall)
        ini.addInstallProgram("preinstall", program);
    for (const QString& program : m_Options.postinstall)
        ini.addInstallProgram("postinstall", program);
    return writeIni(ini);
}

bool ReleaseBuilder::checkOptions()
{
    if (m_Options.version <= 0)
        return fail("the version number must be a positive integer");
    if (m_Options.newDir.isEmpty() || m_Options.serverRoot.isEmpty())
        return fail("a new folder and a server root are needed");
    static const QStringList reserved = {"delete", "preinstall", "postinstall", "General"};
    if (reserved.contains(section()) || section().contains('/') || section().contains('\\'))
        return fail(QString("%1 cannot name a file section").arg(section()));
    if (m_Options.patchMethod < 0 || m_Options.patchMethod > 2)
        return fail("the patch method is 0, 1 or 2");
    return true;
}

static bool matchesAny(const QString& path, const QStringList& patterns)
{
    const QString name = QFileInfo(path).fileName();
    for (const QString& pattern : patterns) {
        const QRegularExpression re(QRegularExpression::anchoredPattern(
            QRegularExpression::wildcardToRegularExpression(pattern)));
        if (re.match(path).hasMatch() || re.match(name).hasMatch())
            return true;
    }
    return false;
}

bool ReleaseBuilder::isGzip(const QString& path) const
{
    return matchesAny(path, m_Options.gzipPatterns);
}

bool ReleaseBuilder::isPatched(const QString& path) const
{
    return m_Options.patches && m_Old.contains(path)
           && !matchesAny(path, m_Options.wholePatterns);
}

// In phase 1 downloads and unpacked files share the working directory, so no published name
// may equal a file's own path or another published name.
bool ReleaseBuilder::checkNames()
{
    QSet<QString> names;
    for (const QString& path : m_New.paths())
        names.insert(path);
    for (const QString& path : m_New.paths()) {
        QStringList published = {path + (isGzip(path) ? kGzipSuffix : kPackageSuffix)};
        if (isPatched(path))
            published << path + kPatchSuffix;
        for (const QString& name : published) {
            if (names.contains(name))
                return fail(QString("%1 would be published under the name of another file: %2")
                                .arg(path, name));
            names.insert(name);
        }
    }
    return true;
}

bool ReleaseBuilder::publishFile(const QString& path, ProductIniWriter& ini)
{
    const bool gzip = isGzip(path);
    const QString key = path + (gzip ? kGzipSuffix : kPackageSuffix);
    const QString source = m_New.absolutePath(path);
    const QString target = versionDir() + "/" + section() + "/" + key;
    if (!makeParent(target))
        return fail(QString("cannot create the folder of %1").arg(target));
    const bool written = gzip ? gzipFile(source, target)
                              : vxpatch::PackLzmaFile(osPath(source), osPath(target),
                                                      m_Options.preprocess);
    if (!written)
        return fail(QString("cannot pack %1 into %2").arg(source, target));
    const ProductIniWriter::Digested published = digestOf(target);
    ini.addFile(section(), key, published, digestOf(m_New.file(path)), path);
    m_Report << QString("file   %1 -> %2/%3 (%4 bytes)").arg(path, section(), key)
                    .arg(published.size);
    return true;
}

bool ReleaseBuilder::publishPatch(const QString& path, ProductIniWriter& ini)
{
    Bytes oldData;
    Bytes newData;
    if (!readBytes(m_Old.absolutePath(path), &oldData)
        || !readBytes(m_New.absolutePath(path), &newData))
        return fail(QString("cannot read the old or new %1").arg(path));
    EnsembleWriterOptions options;
    options.withElements = m_Options.patchElements;
    options.diffMethod = m_Options.patchMethod;
    Bytes patch;
    std::vector<EnsembleElement> elements;
    if (!MakeEnsemblePatch(oldData, newData, options, &patch, &elements))
        return fail(QString("cannot make a patch for %1").arg(path));

    const QString key = path + kPatchSuffix;
    const QString target = versionDir() + "/" + section() + "/" + key;
    if (!writeBytes(target, patch))
        return fail(QString("cannot write %1").arg(target));
    ini.addPatch(section(), key, digestOf(target), digestOf(m_Old.file(path)), path);
    m_Report << QString("patch  %1 -> %2/%3 (%4 bytes, %5 executable elements)")
                    .arg(path, section(), key)
                    .arg(patch.size())
                    .arg(elements.size());
    return true;
}

// Old files the new release does not have: the outermost folder that the new release no
// longer has at all goes as a whole, any other file on its own.
void ReleaseBuilder::listDeletions(ProductIniWriter& ini)
{
    QSet<QString> listed;
    for (const QString& path : m_Old.paths()) {
        if (m_New.contains(path))
            continue;
        QString entry = path;
        int code = ProductIniWriter::kDeletePath;
        const QStringList parts = path.split('/');
        QString dir;
        for (int i = 0; i + 1 < parts.size(); ++i) {
            dir += (i ? "/" : "") + parts[i];
            if (!m_New.holdsFolder(dir) && !m_New.contains(dir)) {
                entry = dir;
                code = ProductIniWriter::kDeleteRecursive;
                break;
            }
        }
        if (listed.contains(entry))
            continue;
        listed.insert(entry);
        ini.addDelete(entry, code);
        m_Report << QString("delete %1%2").arg(entry, code == ProductIniWriter::kDeleteRecursive
                                                          ? QString(" (folder)")
                                                          : QString());
    }
}

bool ReleaseBuilder::writeIni(ProductIniWriter& ini)
{
    const QString path = iniPath();
    if (!QDir().mkpath(versionDir()))
        return fail(QString("cannot create %1").arg(versionDir()));
    if (!ini.write(path))
        return fail(ini.errorText());
    const QString packed = path + kPackageSuffix;
    if (!vxpatch::PackLzmaFile(osPath(path), osPath(packed), false))
        return fail(QString("cannot pack %1").arg(path));
    ReleaseSigner signer(m_Options.privateKey.isEmpty() ? ReleaseSigner::developmentKeyPath()
                                                        : m_Options.privateKey);
    if (!signer.sign(path))
        return fail(QString("cannot sign %1: %2").arg(path, signer.errorText()));
    m_Report << QString("ini    %1 (%2, %3.sig)")
                    .arg(QFileInfo(path).fileName(), QFileInfo(packed).fileName(),
                         QFileInfo(path).fileName());
    return true;
}

} // namespace vxtest
