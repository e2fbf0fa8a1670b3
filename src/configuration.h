#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include <QObject>
#include <QString>

// The parameters of one updater run: phase, client type, channel, target version, working and
// installation directories, proxy and parallel downloads. Lives in the GUI thread; every task of
// the run reads it through a plain pointer.
class Configuration : public QObject
{
    Q_OBJECT
public:
    explicit Configuration(QObject* parent = nullptr);

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
};

#endif // CONFIGURATION_H
