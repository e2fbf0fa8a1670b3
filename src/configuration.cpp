#include "configuration.h"

#include "trustedfolder.h"
#include "updatechecker.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QSettings>
#include <QWidget>

#include <algorithm>
#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

QString Configuration::updateBaseUrl;

namespace {
const char kUpdateIni[] = "update.ini";
const char kPlatformSuffix[] = "_linux_x86";
const int kDefaultStreams = 6;
const int kTempDirAttempts = 1000;

QString withTrailingSlash(const QString& path)
{
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

// A settings boolean, as earlier updaters read it: any text but "", "0" and "false" (in any
// case) is true, so "yes", "on" and "2" are. A value that is no boolean at all (a list) keeps
// the default.
bool readFlag(const QSettings& settings, const QString& key)
{
    const QVariant value = settings.value(key, false);
    return value.canConvert<bool>() && value.toBool();
}
} // namespace

Configuration::Configuration(QObject* parent)
    : QObject(parent)
{
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& args)
{
    qDebug() << "parseCommandLineOptions" << args;
    isClientUpdate = (args.size() >= 2 && args.at(1) == QLatin1String("--clientupdate")) ? 1 : 0;
    queryStarted = false;

    // Before any client argument, so that an alpha revision is in place first.
    getUpdateChannel();

    if (args.size() >= 2
        && (args.at(1) == QLatin1String("--nouser") || args.at(1) == QLatin1String("--clientupdate"))) {
        qDebug() << "CLIENTUPDATE" << (args.at(1) == QLatin1String("--clientupdate") ? "true" : "false");
        if (args.size() >= 4 && !parseClientArgs(args, 2))
            return false;
        if (args.size() >= 5 && args.at(4) != QLatin1String("#"))
            versionString = args.at(4);
        getDefaultParameters();
    } else if (args.size() == 3) {
        if (!parseClientArgs(args, 1))
            return false;
    } else {
        qDebug() << "Empty cmdline params";
        getDefaultParameters();
    }

    if (!queryStarted)
        isReady = true;
    return true;
}

void Configuration::getUpdateChannel()
{
    qDebug() << "Searching update.ini";
    QString iniPath = configDir() + QLatin1String(kUpdateIni);
    bool exists = QFile::exists(iniPath);
    qDebug() << "Update ini check #1 in CONFIG" << iniPath << exists;
    if (exists) {
        qDebug() << "Found CONFIG/update.ini";
    } else {
        iniPath = appDirPath() + QLatin1Char('/') + QLatin1String(kUpdateIni);
        exists = QFile::exists(iniPath);
        qDebug() << "Update ini check #2 in INSTALL" << iniPath << exists;
        if (!exists) {
            channel = 0;
            versionNumber = 0;
            updateBaseUrl = QStringLiteral(VX_UPDATE_BASE_URL);
            qDebug() << "No update.ini found, using stable channel, URL =" << updateBaseUrl;
            return;
        }
        qDebug() << "Found INSTALL/update.ini";
    }

    QSettings settings(iniPath, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    bool beta = readFlag(settings, QStringLiteral("beta"));
    if (!beta)
        beta = readFlag(settings, QStringLiteral("Beta"));

    if (!alpha.isEmpty()) {
        channel = 2;
        versionNumber = std::max(0, settings.value(QStringLiteral("alphaRevno"), 0).toInt());
        updateBaseUrl = withTrailingSlash(alpha);
        qDebug() << "Alpha channel detected, URL =" << updateBaseUrl;
    } else {
        channel = beta ? 1 : 0;
        versionNumber = 0;
        updateBaseUrl = QStringLiteral(VX_UPDATE_BASE_URL);
        qDebug() << (beta ? "Beta" : "Stable") << "channel detected, URL =" << updateBaseUrl;
    }
    settings.endGroup();
}

bool Configuration::parseClientArgs(const QStringList& args, int index)
{
    if (index < 0 || index >= args.size()) {
        emit fatalError(QStringLiteral("No client type specified"));
        return false;
    }
    clientType = args.at(index);
    if (index + 1 >= args.size()) {
        emit fatalError(QStringLiteral("No client version specified"));
        return false;
    }
    return parseVersion(args.at(index + 1), tr("Invalid version nr (%1)"));
}

bool Configuration::parseVersion(const QString& text, const QString& messageTemplate)
{
    if (versionNumber != 0)
        return true;
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    versionNumber = ok ? number : 0;
    if (ok)
        return true;
    emit fatalError(messageTemplate.arg(text));
    return false;
}

bool Configuration::getDefaultParameters()
{
    qDebug() << "getDefaultParameters" << clientType;
    if (clientType.isEmpty())
        clientType = defaultClientType(isClientUpdate != 0);
    qDebug() << "clientType" << clientType;
    if (versionNumber != 0)
        return true;

    UpdateChecker* checker = new UpdateChecker(this);
    connect(checker, &UpdateChecker::update_available, this, &Configuration::on_updateAvailable);
    queryStarted = true;
    checker->checkForUpdate();
    return true;
}

bool Configuration::initalizeStart(const QString& dir, const QString& vx3dir)
{
    qDebug() << "initalizeStart" << dir << vx3dir;
    if (isClientUpdate && (dir.isEmpty() || vx3dir.isEmpty())) {
        // The client phase runs from its work folder: a fallback would install into it.
        qDebug() << "*Error* The client phase needs the folders of its session record";
        return false;
    }
    if (!dir.isEmpty())
        workDir = dir;
    else if (!createTempDir())
        return false;
    installDir = vx3dir.isEmpty() ? appDirPath() : vx3dir;
    return true;
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        qDebug() << "*Error* Unable to get temp directory";
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    QString unsafe;
    if (!TrustedFolder::isSafeTempFolder(QDir::cleanPath(base), &unsafe)) {
        qDebug().noquote() << "*Error* Unable to create temp directory: the work folder" << unsafe;
        emit fatalError(QStringLiteral("Unable to create temp directory."));
        return false;
    }
    base = withTrailingSlash(base);
    for (int i = 0; i < kTempDirAttempts; ++i) {
        // mkdir fails on any name that is already there, a folder or a link another user made
        // first, so the folder we get is always new and ours.
        const QString candidate = base + TrustedFolder::workFolderName(i);
        if (::mkdir(QFile::encodeName(candidate).constData(), S_IRWXU) == 0) {
            workDir = candidate;
            return true;
        }
    }
    // Other users can take every numbered name; mkdtemp still makes a folder of ours (0700)
    // under a random one.
    QByteArray pattern = QFile::encodeName(base + TrustedFolder::workFolderTemplate());
    if (::mkdtemp(pattern.data())) {
        const QString made = QFile::decodeName(pattern);
        if (TrustedFolder::markWorkFolder(made)) {
            workDir = made;
            return true;
        }
        ::rmdir(pattern.constData());
    }
    qDebug() << "*Error* Unable to create temp directory";
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::readUpdateIni()
{
    QSettings settings(QDir(appDirPath()).absoluteFilePath(QLatin1String(kUpdateIni)), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = settings.value(QStringLiteral("proxy")).toString();
    streams = settings.value(QStringLiteral("streams"), kDefaultStreams).toInt();
    if (streams < 1)
        streams = kDefaultStreams;
    settings.endGroup();
}

void Configuration::on_updateAvailable(UpdateVersions versions)
{
    qDebug() << "on_updateAvailable" << versions;
    const QPair<QString, QString> version = UpdateChecker::versionForChannel(versions, channel);
    // The text used is shown and goes on to the new updater's command line; a longer one fails
    // the query. The other channels' texts are not used.
    const bool textTooLong = version.second.size() > UpdateChecker::kMaxVersionTextLength;
    if (textTooLong)
        qDebug() << "Version reply refused: version text of" << version.second.size() << "characters";
    if (versions.isEmpty() || textTooLong) {
        QWidget* parent = nullptr;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->objectName() == QLatin1String("MainWindow")) {
                parent = widget;
                break;
            }
        }
        const QString text = tr("Failed to query latest client\nversion from update server.");
        qWarning().noquote() << QString(text).replace(QLatin1Char('\n'), QLatin1Char(' '));
        QMessageBox::critical(parent, tr("Error"), text, QMessageBox::Abort);
        QCoreApplication::quit();
        return;
    }

    qDebug() << "Received version from remote server:" << version;
    if (version.first.isEmpty()) {
        emit fatalError(tr("Update server returned no version"));
        return;
    }
    if (!parseVersion(version.first, tr("Update server returned invalid version nr (%1)")))
        return;
    versionString = version.second;
    isReady = true;
    emit ready();
}

QString Configuration::configDir()
{
    const QString dir = QProcessEnvironment::systemEnvironment().value(QStringLiteral("VX3_CONFIG_DIR"));
    if (!dir.isEmpty())
        return dir.endsWith(QDir::separator()) ? dir : dir + QDir::separator();
    return QDir::homePath() + QLatin1String("/.vx3client/");
}

QString Configuration::defaultClientType(bool clientUpdate)
{
    return QLatin1String(clientUpdate ? "client" : "update") + QLatin1String(kPlatformSuffix);
}

QString Configuration::appDirPath()
{
    return QCoreApplication::applicationDirPath();
}

QString Configuration::runScriptName()
{
    return QStringLiteral("vx3client_runscript.sh");
}

bool Configuration::clientBinaryExists(const QString& dir)
{
    if (dir.isEmpty())
        return false;
    return QFile::exists(dir + QLatin1String("/vx3client_linux_x86"))
        || QFile::exists(dir + QLatin1String("/vx3client_linux_amd64"));
}
