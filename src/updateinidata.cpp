#include "updateinidata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSettings>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const char kGroup[] = "current";
// The user's settings, which the new updater of phase 2 reads from its own update.ini.
const char* const kSettingsGroups[] = {"Channel", "update"};

bool writeRecord(QSettings& settings, int version, const QString& dir, const QString& vx3dir,
                 const QString& type)
{
    settings.beginGroup(QLatin1String(kGroup));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("vx3dir"), vx3dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

void copySettingsGroups(const QSettings& source, QSettings& target)
{
    for (const char* group : kSettingsGroups) {
        const QString prefix = QLatin1String(group) + QLatin1Char('/');
        target.remove(QLatin1String(group));
        for (const QString& key : source.allKeys()) {
            if (key.startsWith(prefix))
                target.setValue(key, source.value(key));
        }
    }
}
} // namespace

QString UpdateIniData::updateIniPath()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int* version, QString* type, QString* dir, QString* vx3dir)
{
    const QString path = updateIniPath();
    QSettings settings(path, QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kGroup));
    bool versionOk = false;
    const int readVersion = settings.value(QStringLiteral("version")).toInt(&versionOk);
    const QString readDir = settings.value(QStringLiteral("dir")).toString();
    const QString readVx3dir = settings.value(QStringLiteral("vx3dir")).toString();
    const QString readType = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();
    qDebug() << "get" << path << readVersion << readDir << readVx3dir << readType;

    if (!versionOk || readType.isEmpty() || readDir.isEmpty() || !QFile::exists(readDir))
        return false;
    if (version)
        *version = readVersion;
    if (type)
        *type = readType;
    if (dir)
        *dir = readDir;
    if (vx3dir)
        *vx3dir = readVx3dir;
    return true;
}

bool UpdateIniData::modify(int version, const QString& dir, const QString& vx3dir, const QString& type)
{
    const QString path = updateIniPath();
    qDebug() << "modify" << path << version << dir << vx3dir << type;
    QSettings settings(path, QSettings::IniFormat);
    const bool written = writeRecord(settings, version, dir, vx3dir, type);
    qDebug() << "UpdateiniData::modify write result" << static_cast<int>(settings.status());
    return written;
}

bool UpdateIniData::modifyTempIni(const QString& dir)
{
    const QString path = dir + QStringLiteral("/update.ini");
    qDebug() << "modifyTempIni" << path;
    int version = 0;
    QString type;
    QString workDir;
    QString vx3dir;
    if (!get(&version, &type, &workDir, &vx3dir)) {
        qDebug() << "Failed to read existing update.ini";
        return false;
    }
    QSettings settings(path, QSettings::IniFormat);
    copySettingsGroups(QSettings(updateIniPath(), QSettings::IniFormat), settings);
    const bool written = writeRecord(settings, version, workDir, vx3dir, QStringLiteral("client_linux_x86"));
    qDebug() << "UpdateiniData::modifyTempIni write result" << static_cast<int>(settings.status());
    return written;
}

bool UpdateIniData::removeRecord()
{
    const QString path = updateIniPath();
    bool empty = false;
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.remove(QLatin1String(kGroup));
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
        empty = settings.allKeys().isEmpty();
    }
    // A file that held nothing but the session goes as a whole.
    return !empty || !QFile::exists(path) || QFile::remove(path);
}

void UpdateIniData::removeLeftoverTempFiles()
{
    // The name a write of update.ini gives the new content before renaming it over the file.
    static const QRegularExpression tempName(QStringLiteral("^update\\.ini\\.[A-Za-z0-9]{6}$"));
    const int dirFd = ::open(QFile::encodeName(QCoreApplication::applicationDirPath()).constData(),
                             O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    while (const struct dirent* entry = ::readdir(dir)) {
        if (!tempName.match(QFile::decodeName(entry->d_name)).hasMatch())
            continue;
        struct stat status;
        if (::fstatat(dirFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() || status.st_nlink != 1)
            continue;
        qDebug() << "Removing update.ini left by a cut-short write:" << entry->d_name;
        ::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}
