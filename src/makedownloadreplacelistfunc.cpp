#include "makedownloadreplacelistfunc.h"

#include "checksigfunc.h"
#include "confinedpath.h"
#include "configuration.h"
#include "downloadreplacelists.h"
#include "safepath.h"
#include "stagedcopy.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString patchSuffix = QStringLiteral("_patch_");
const QString partSeparator = QStringLiteral("::");
const QString installDirPlaceholder = QStringLiteral("__VX3_DIR__");

const char* boolText(bool value)
{
    return value ? "true" : "false";
}

// Text that is not a decimal number reads as 0.
quint64 toSize(const QString& text)
{
    return text.toULongLong(nullptr, 10);
}

// Two "::" in a row enclose an empty part.
QStringList splitParts(const QString& value)
{
    return value.split(partSeparator, Qt::KeepEmptyParts);
}

QString invalidLineMessage(const QString& section)
{
    return QString("Warning: product ini contains invalid line in section %1").arg(section);
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration* config,
                                                         DownloadReplaceLists* lists)
    : config(config)
    , lists(lists)
{
}

int MakeDownloadReplaceListFunc::currentOs()
{
    return 3;
}

int MakeDownloadReplaceListFunc::parseOsName(const QString& name)
{
    const QString os = name.toLower();
    if (os == QLatin1String("win32"))
        return 1;
    if (os == QLatin1String("win64"))
        return 2;
    if (os == QLatin1String("linux32"))
        return 3;
    if (os == QLatin1String("linux64"))
        return 4;
    if (os == QLatin1String("mac"))
        return 5;
    return 0;
}

int MakeDownloadReplaceListFunc::countKeys(QSettings& settings)
{
    int sum = 0;
    for (const QString& group : settings.childGroups()) {
        settings.beginGroup(group);
        // A key holding a path ("lib/a.so") is a subgroup to the reader; allKeys keeps it a key.
        sum += settings.allKeys().size();
        settings.endGroup();
    }
    return sum;
}

bool MakeDownloadReplaceListFunc::run()
{
    *lists = DownloadReplaceLists();
    clientUpdate = config->isClientUpdate == 1;
    workDir = config->workDir;
    installDir = config->installDir;
    total = 0;
    counter = 0;

    const QString prodIni = workDir + "/" + (clientUpdate ? "vx3_" : "")
                            + (clientUpdate ? "client" : "update") + "_linux_x86" + ".ini";
    qDebug() << "prodIni" << prodIni;
    emit message(QString("Compiling download and replace list for ")
                 + (clientUpdate ? "client" : "updater"));

    QSettings ini(prodIni, QSettings::IniFormat);
    total = countKeys(ini);
    if (total == 0) {
        emit message("No files in product ini");
        return false;
    }
    if (!pathsConfined(ini))
        return false;

    for (const QString& section : ini.childGroups()) {
        ini.beginGroup(section);
        QStringList keys = ini.allKeys();
        PatchMap patches;
        if (!collectPatches(ini, section, keys, patches)) {
            ini.endGroup();
            return false;
        }
        if (section == QLatin1String("delete")) {
            compileDeleteSection(ini, keys);
        } else if (section == QLatin1String("preinstall")
                   || section == QLatin1String("postinstall")) {
            compileInstallSection(ini, section, keys);
        } else {
            for (const QString& key : keys)
                compileFileKey(ini, section, key, patches);
        }
        ini.endGroup();
    }
    return true;
}

bool MakeDownloadReplaceListFunc::pathsConfined(QSettings& ini)
{
    for (const QString& section : ini.childGroups()) {
        ini.beginGroup(section);
        const bool ok = pathsOfSectionConfined(ini, section);
        ini.endGroup();
        if (!ok)
            return false;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::pathsOfSectionConfined(QSettings& ini, const QString& section)
{
    const bool deleteSection = section == QLatin1String("delete");
    const bool installSection =
        section == QLatin1String("preinstall") || section == QLatin1String("postinstall");
    for (const QString& key : ini.allKeys()) {
        // Patches, fetched files and install programs live in the work directory.
        if (key.endsWith(patchSuffix, Qt::CaseSensitive) || installSection) {
            if (!confined(section, workDir, key))
                return false;
            continue;
        }
        if (deleteSection) {
            if (!confined(section, installDir, key))
                return false;
            continue;
        }
        const QStringList parts = splitParts(ini.value(key).toString());
        const QString target = parts.size() == 5 ? parts[4] : QString();
        const QString installed = target.isEmpty() ? key : target;
        // The installed name is also used in the work directory (copies, kept-aside files).
        if (!confined(section, workDir, key) || !confined(section, installDir, installed)
            || !confined(section, workDir, installed))
            return false;
    }
    return true;
}

bool MakeDownloadReplaceListFunc::confined(const QString& section, const QString& root,
                                           const QString& path)
{
    const QString reason = ConfinedPath::refusal(root, path);
    if (reason.isEmpty())
        return true;
    qDebug() << "Refused path" << path << "in section" << section << reason;
    emit message(QString("Refused path '%1' in section %2 of the product ini: %3")
                     .arg(path, section, reason));
    return false;
}

bool MakeDownloadReplaceListFunc::collectPatches(QSettings& ini, const QString& section,
                                                 QStringList& keys, PatchMap& patches)
{
    QStringList patchKeys;
    for (int i = keys.size() - 1; i >= 0; --i) {
        if (keys[i].endsWith(patchSuffix, Qt::CaseSensitive))
            patchKeys.prepend(keys.takeAt(i));
    }
    for (const QString& key : patchKeys) {
        const QStringList parts = splitParts(ini.value(key).toString());
        if (parts.size() != 5) {
            emit message(invalidLineMessage(section));
            return false;
        }
        const PatchEntry patch(section, key, parts[0], toSize(parts[1]), parts[4], parts[2],
                               toSize(parts[3]));
        patches.insert(patch.target, patch);
        qDebug() << "ADD PATCH" << patch.target << patch.name << patch.sha512 << patch.size
                 << patch.sourceSha512 << patch.sourceSize;
    }
    return true;
}

void MakeDownloadReplaceListFunc::compileDeleteSection(QSettings& ini, const QStringList& keys)
{
    for (const QString& key : keys) {
        advanceProgress();
        if (!QFileInfo::exists(installDir + "/" + key))
            continue;
        const int code = ini.value(key).toInt();
        if (code < 10 || code == 12)
            lists->deleteList.append(DeleteEntry(key, code == 2));
    }
}

void MakeDownloadReplaceListFunc::compileInstallSection(QSettings& ini, const QString& section,
                                                        const QStringList& keys)
{
    QList<PrePostInstallEntry>& target =
        section == QLatin1String("preinstall") ? lists->preinstallList : lists->postinstallList;
    for (const QString& key : keys) {
        const QStringList value = ini.value(key).toStringList();
        qDebug() << "prepostinstall cmd" << key << "v" << value;
        if (value.isEmpty())
            continue;
        const QStringList osNames = splitParts(value[0]);
        // No argument text means no arguments, not one empty argument.
        const QString argText = value.value(1);
        QStringList args;
        if (!argText.isEmpty())
            args = splitParts(argText);
        const bool required = !(value.size() > 2 && value[2] == QLatin1String("optional"));
        qDebug() << "--->" << key << "os list" << osNames << "args" << args << "required"
                 << boolText(required);
        for (QString& arg : args)
            arg.replace(installDirPlaceholder, installDir, Qt::CaseSensitive);
        qDebug() << "replaced args: " << args;
        for (const QString& os : osNames) {
            if (parseOsName(os) == currentOs())
                target.append(PrePostInstallEntry(key, args, required));
        }
    }
}

void MakeDownloadReplaceListFunc::compileFileKey(QSettings& ini, const QString& section,
                                                 const QString& key, const PatchMap& patches)
{
    advanceProgress();
    const QStringList parts = splitParts(ini.value(key).toString());
    if (parts.size() != 2 && parts.size() != 5) {
        emit message(invalidLineMessage(section));
        return;
    }
    UpdateFileEntry entry(section, key, QString(), 0, QString());
    DownloadEntry download(section, key, parts[0], toSize(parts[1]));
    if (parts.size() == 5) {
        entry.sha512 = parts[2];
        entry.size = toSize(parts[3]);
        entry.target = parts[4];
    }

    const QString installedPath = installDir + "/" + entry.prefixedName(QString());
    const bool installed = QFileInfo::exists(installedPath);
    qDebug() << "CHECK PATCH" << entry.target << boolText(installed)
             << boolText(patches.contains(entry.target));
    if (!installed) {
        queue(entry, download);
        return;
    }
    if (!isRegularFile(installedPath)) {
        // Never read (a fifo would hold the run): it is replaced whole.
        emit message(QString("'%1' is not a regular file").arg(installedPath));
        queue(entry, download);
        return;
    }
    if (entry.hasTarget() && choosePatch(installedPath, patches, entry, download)) {
        queue(entry, download);
        return;
    }
    const QString& expected = entry.hasTarget() ? entry.sha512 : download.sha512;
    if (!hasDigest(installedPath, expected)) {
        queue(entry, download);
        return;
    }
    if (!clientUpdate)
        copyUpdaterFile(installedPath, entry, expected,
                        entry.hasTarget() ? entry.size : download.size);
}

bool MakeDownloadReplaceListFunc::choosePatch(const QString& installedPath, const PatchMap& patches,
                                              UpdateFileEntry& entry, DownloadEntry& download) const
{
    // values() lists the patch inserted last first.
    for (const PatchEntry& patch : patches.values(entry.target)) {
        qint64 size = -1;
        const bool match = hasDigest(installedPath, patch.sourceSha512, &size);
        qDebug() << "Check Sig" << installedPath << patch.sourceSha512 << "=>" << boolText(match);
        if (!match)
            continue;
        entry.patch = patch.name;
        entry.oldSize = size;
        download.name = patch.name;
        download.sha512 = patch.sha512;
        download.size = patch.size;
        qDebug() << "Found patch for" << entry.name << installedPath;
        return true;
    }
    return false;
}

void MakeDownloadReplaceListFunc::queue(const UpdateFileEntry& entry, const DownloadEntry& download)
{
    lists->replaceList.append(entry);
    const QString fetched = workDir + "/" + download.name;
    if (QFileInfo::exists(fetched) && hasDigest(fetched, download.sha512))
        return;
    lists->downloadList.append(download);
    qDebug() << "Queueing download:" << entry.name;
}

void MakeDownloadReplaceListFunc::copyUpdaterFile(const QString& installedPath,
                                                  const UpdateFileEntry& entry,
                                                  const QString& sha512, quint64 size) const
{
    const QString destination = workDir + "/" + entry.prefixedName(QString());
    const QString directory = QFileInfo(destination).absolutePath();
    if (!QDir(directory).exists())
        QDir().mkpath(directory);
    // What a killed run left at the destination is kept only when it is the whole copy with its
    // mode; the copy itself must have the digest the installed file was found to have.
    const bool copied = StagedCopy::copy(installedPath, destination, size, true, sha512);
    qDebug() << "Copying updater files:" << installedPath << "to" << destination
             << boolText(copied);
}

void MakeDownloadReplaceListFunc::advanceProgress()
{
    ++counter;
    emit progress(qreal(counter) / total);
}

bool MakeDownloadReplaceListFunc::isRegularFile(const QString& path)
{
    struct stat st;
    return SafePath::status(path, &st, true) && S_ISREG(st.st_mode);
}

bool MakeDownloadReplaceListFunc::hasDigest(const QString& path, const QString& sha512,
                                            qint64* size)
{
    // Only the regular file found at the name is read, through the descriptor that opened it, so
    // a fifo or device put there (also after the look above) is never opened.
    struct stat st;
    const int fd = SafePath::openRegularBehindLinks(path, O_RDONLY, &st);
    if (fd < 0)
        return false;
    // Its texts go nowhere: only the verdict counts here.
    CheckSigFunc check(path, sha512);
    check.readFrom(fd);
    const bool match = check.run();
    ::close(fd);
    if (size)
        *size = st.st_size;
    return match;
}
