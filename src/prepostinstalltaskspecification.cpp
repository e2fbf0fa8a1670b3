#include "prepostinstalltaskspecification.h"

#include "prepostinstallfunc.h"

#include <QDebug>

QPointer<QObject> PrePostInstallTaskSpecification::rebootWindow;

PrePostInstallTaskSpecification::PrePostInstallTaskSpecification(PrePostInstallEntry* entry,
                                                                 Configuration* config,
                                                                 QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , entry(entry)
    , config(config)
{
}

ASyncFunc* PrePostInstallTaskSpecification::createFunc()
{
    auto* func = new PrePostInstallFunc(entry, config);
    if (rebootWindow) {
        // The request is raised on a pool thread; the window handles it in the GUI thread.
        const bool connected = connect(func, SIGNAL(reboot_with_confirmation()), rebootWindow.data(),
                                       SLOT(onRebootWithConfirmation()), Qt::QueuedConnection);
        if (!connected)
            qWarning() << "PrePostInstallTaskSpecification: reboot receiver has no onRebootWithConfirmation()";
    }
    return func;
}

void PrePostInstallTaskSpecification::setRebootReceiver(QObject* window)
{
    rebootWindow = window;
}

QObject* PrePostInstallTaskSpecification::rebootReceiver()
{
    return rebootWindow.data();
}
