#ifndef PREPOSTINSTALLTASKSPECIFICATION_H
#define PREPOSTINSTALLTASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QPointer>

class Configuration;
class PrePostInstallEntry;

// Runs one install program in the background (PrePostInstallFunc) and succeeds or fails on its
// result. Borrows its entry (held in the main task's list) and the configuration.
// GUI thread; the window that asks about a reboot registers itself here while it exists
// (registration and look-up happen in the GUI thread too).
class PrePostInstallTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    PrePostInstallTaskSpecification(PrePostInstallEntry* entry, Configuration* config,
                                    QObject* parent, qreal weight);

    // A worker for the entry, connected to the window's reboot question when there is one.
    ASyncFunc* createFunc() override;

    // The window whose slot onRebootWithConfirmation() receives a program's reboot request;
    // nullptr when there is none. Only workers created while it is registered are connected.
    static void setRebootReceiver(QObject* window);
    static QObject* rebootReceiver();

private:
    PrePostInstallEntry* entry;
    Configuration* config;

    static QPointer<QObject> rebootWindow;
};

#endif // PREPOSTINSTALLTASKSPECIFICATION_H
