// Start-up and shut-down of the updater: library check, optional log file, removal of files left
// by older installations, the single-instance test, translations, the configuration and the
// window, then the event loop whose result is the exit code.
#include "configuration.h"
#include "logfile.h"
#include "mainwindow.h"
#include "protobufhelper.h"
#include "singleinstancechecker.h"
#include "updateengine.h"
#include "updateversions.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

namespace {

const int kStartDelayMs = 2000;

void removeLeftovers(const QString& appDir)
{
    UpdateEngine::removeQt4Files(appDir);
    UpdateEngine::removeOldFiles(appDir);
    for (const char* sub : {"/old", "/imageformats", "/accessible", "/sqldrivers"})
        UpdateEngine::removeOldFiles(appDir + sub);
    // Goes only when the clean-up left it empty.
    QDir().rmdir(appDir + "/old");
    qDebug() << "Removing old files done";
}

} // namespace

int main(int argc, char** argv)
{
    protobufVerifyVersion();
    qRegisterMetaType<UpdateVersions>("UpdateVersions");
    LogFile::instance();
    qInstallMessageHandler(logMessageHandler);

    QApplication app(argc, argv);
    const QString appDir = QCoreApplication::applicationDirPath();
    qDebug() << "Voxmere updater started";
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
    const int exitCode = app.exec();

    LogFile::instance()->close();
    protobufShutdown();
    return exitCode;
}
