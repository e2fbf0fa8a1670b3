// Start-up and shut-down of the updater: library check, optional log file, removal of files left
// by older installations, the single-instance test, translations, the configuration and the
// window, then the event loop whose result is the exit code.
#include "configuration.h"
#include "installationlock.h"
#include "logfile.h"
#include "mainwindow.h"
#include "protobufhelper.h"
#include "safepath.h"
#include "singleinstancechecker.h"
#include "updateengine.h"
#include "updateinidata.h"
#include "updateversions.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>

#include <sys/stat.h>

namespace {

const int kStartDelayMs = 2000;

void removeLeftovers(const QString& appDir)
{
    UpdateEngine::removeQt4Files(appDir);
    UpdateEngine::removeOldFiles(appDir);
    for (const char* sub : {"/old", "/imageformats", "/accessible", "/sqldrivers"})
        UpdateEngine::removeOldFiles(appDir + sub);
    // Goes only when the clean-up left it empty.
    SafePath::removeFolder(appDir + "/old");
    UpdateIniData::removeLeftoverTempFiles();
    qDebug() << "Removing old files done";
}

// The installation this run will change: phase 2 works on the one its session record names,
// phase 1 on the one it was started from.
QString installationDir(const QString& appDir)
{
    const QStringList args = QCoreApplication::arguments();
    QString vx3dir;
    if (args.size() >= 2 && args.at(1) == QLatin1String("--clientupdate")
        && UpdateIniData::get(nullptr, nullptr, nullptr, &vx3dir) && !vx3dir.isEmpty())
        return vx3dir;
    return appDir;
}

} // namespace

int main(int argc, char** argv)
{
    // Whatever the caller's umask, nothing this run writes may be writable by group or others;
    // a stricter one stays as it is.
    const mode_t callerMask = ::umask(S_IWGRP | S_IWOTH);
    ::umask(callerMask | S_IWGRP | S_IWOTH);
    protobufVerifyVersion();
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    LogFile::instance();
    qInstallMessageHandler(logMessageHandler);

    QApplication app(argc, argv);
    const QString appDir = QCoreApplication::applicationDirPath();
    qDebug() << "Voxmere updater started";

    // Taken before anything changes: another updater of either phase may be working on this
    // installation under another program path, where the single-instance message does not
    // reach it.
    QString lockError;
    switch (InstallationLock::acquire(installationDir(appDir), &lockError)) {
    case InstallationLock::Acquired:
        break;
    case InstallationLock::HeldByOther:
        // Brings the other window to the front when it is this program's.
        SingleInstanceChecker::sendMessage(QStringLiteral("#"));
        qDebug() << "Detected other instance running, aborting";
        return 0;
    case InstallationLock::Failed:
        qWarning() << "Cannot lock the installation:" << lockError;
        MainWindow::showPlainError(nullptr, lockError);
        return MainWindow::kNotFinishedExit;
    }

    removeLeftovers(appDir);
    if (SingleInstanceChecker::sendMessage(QStringLiteral("#"))) {
        qDebug() << "Detected other instance running, aborting";
        return 0;
    }

    // Missing catalogues are normal: the texts then stay in English.
    const QString locale = QLocale::system().name();
    QTranslator updateTranslator;
    updateTranslator.load(appDir + "/translations/update_" + locale);
    app.installTranslator(&updateTranslator);
    QTranslator qtTranslator;
    qtTranslator.load(appDir + "/translations/qt_" + locale);
    app.installTranslator(&qtTranslator);

    Configuration configuration;
    MainWindow window(&configuration);
    if (!configuration.parseCommandLineOptions()) {
        qWarning() << "Failed to parse command line options, aborting";
        return 1;
    }
    QTimer::singleShot(kStartDelayMs, &window, SLOT(onStartUpdate()));
    window.updateVersionLabel();
    window.show();
    window.delete_force_update_files();
    const int exitCode = window.exitStatus(app.exec());

    LogFile::instance()->close();
    protobufShutdown();
    return exitCode;
}
