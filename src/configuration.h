#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include "updateversions.h"

#include <QObject>
#include <QString>
#include <QStringList>

// The parameters of one updater run: phase, client type, channel, target version, working and
// installation directories, proxy and parallel downloads. Settled from the command line, update.ini
// and, when no version is given, the version server's answer (then `ready()` follows). Lives in
// the GUI thread; every task of the run reads it through a plain pointer.
class Configuration : public QObject
{
    Q_OBJECT
public:
    explicit Configuration(QObject* parent = nullptr);

    // Reads the application's arguments. False only on a bad client argument, after fatalError.
    bool parseCommandLineOptions();
    // The same over a given argument list (args[0] is the program).
    bool parseCommandLineOptions(const QStringList& args);
    // Channel, updateBaseUrl and, for alpha, versionNumber from the first update.ini found.
    void getUpdateChannel();
    // Client type at `index`, version number at `index` + 1.
    bool parseClientArgs(const QStringList& args, int index);
    // Sets versionNumber from `text` unless it is already known; fatalError with the template's
    // %1 filled in when the text is not a number.
    bool parseVersion(const QString& text, const QString& messageTemplate);
    // Default client type; starts the version query when the version is not known. Always true.
    bool getDefaultParameters();
    // Settles the working and installation directories; false when no working directory can
    // be made, or in the client phase when either directory is not given (it never falls back).
    bool initalizeStart(const QString& dir, const QString& vx3dir);
    // Makes a fresh private voxmere_temp_<n> (mode 0700) directly below the system temp
    // directory and takes it as workDir; a name that is taken in any way is skipped, and when
    // all are taken a name of mkdtemp's is used, marked as ours (TrustedFolder::markWorkFolder).
    bool createTempDir();
    // Proxy and download streams from the application directory's update.ini.
    void readUpdateIni();

    static QString configDir();
    static QString defaultClientType(bool clientUpdate);
    static QString appDirPath();
    static QString runScriptName();
    static bool clientBinaryExists(const QString& dir);

    // The run parameters may be used. (Named apart from the ready() signal, which C++ requires.)
    bool isReady = false;
    int isClientUpdate = 0;
    int channel = 0;
    QString clientType;
    int versionNumber = 0;
    QString versionString;
    QString workDir;
    QString installDir;
    QString proxy;
    int streams = 6;

    // Base URL of the update file server for this run's channel; ends with "/" once set.
    static QString updateBaseUrl;

signals:
    void ready();
    void fatalError(QString errorMessage);
    void message(QString message);

private slots:
    void on_updateAvailable(UpdateVersions versions);

private:
    bool queryStarted = false;
};

#endif // CONFIGURATION_H
