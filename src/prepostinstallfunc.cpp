#include "prepostinstallfunc.h"

#include "configuration.h"

#include <QDebug>
#include <QDir>
#include <QProcess>

namespace {
const int START_TIMEOUT_MS = 30000;
}

PrePostInstallFunc::PrePostInstallFunc(PrePostInstallEntry* entry, Configuration* config)
    : valid(entry != nullptr)
{
    if (entry)
        this->entry = *entry;
    if (config)
        workDir = config->workDir;
}

bool PrePostInstallFunc::run()
{
    if (!valid) {
        qWarning() << "PrePostInstallFunc: no install entry";
        return false;
    }
    QStringList args;
    for (const QString& arg : qAsConst(entry.args))
        args << QStringLiteral("--") + arg;
    qDebug() << "Starting" << entry.program << "args" << args;
    qDebug() << "temp dir:" << workDir;
    emit message(QString("Starting %1").arg(entry.program));

    // Without a work directory the path would resolve against the file-system root.
    if (workDir.isEmpty()) {
        qDebug() << "Failed to start process, no work directory";
        emit message(QString("Failed to start %1: %2").arg(entry.program, "No work directory"));
        return failure();
    }

    QProcess process;
    process.start(workDir + QDir::separator() + entry.program, args, QIODevice::ReadOnly);
    qDebug() << "state" << process.state();
    if (!process.waitForStarted(START_TIMEOUT_MS)) {
        qDebug() << "Failed to start process, state =" << process.state()
                 << ", error =" << process.error();
        emit message(QString("Failed to start %1: %2").arg(entry.program, process.errorString()));
        return failure();
    }
    qDebug() << "Wait for started completed";
    if (!process.waitForFinished(-1)) {
        qDebug() << "Failed to run process, state =" << process.state()
                 << ", error =" << process.error();
        emit message(QString("Failed to run %1: %2").arg(entry.program, process.errorString()));
        return failure();
    }
    qDebug() << "Wait for finished completed";
    const int exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    qDebug() << "Process exit code:" << exitCode;
    return evaluateExitCode(exitCode);
}

bool PrePostInstallFunc::evaluateExitCode(int exitCode)
{
    switch (exitCode) {
    case 0:
        emit message(QString("%1 completed sucessfully").arg(entry.program));
        return true;
    case EXIT_REBOOT_REQUIRED:
    case EXIT_REBOOT_REQUIRED % 256: // what is left of it where exit statuses are 8 bits wide
        emit message(QString("%1 completed sucessfully, reboot required").arg(entry.program));
        emit reboot_with_confirmation();
        return true;
    case 1:
        emit message(QString("Failed to complete %1, exit code: %2").arg(entry.program).arg(exitCode));
        return failure();
    default:
        return failure();
    }
}
