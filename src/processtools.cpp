#include "processtools.h"

#include "configuration.h"

#include <QDebug>
#include <QFile>
#include <QProcess>

void ProcessTools::startVx3Client(const QString& dir)
{
    qDebug() << "startVx3Client" << dir;
    if (!usableDir(dir))
        return;
    const QString path = dir + "/" + Configuration::runScriptName();
    qDebug() << "starting " << path;
    startDetached(path, QStringList(), dir);
}

void ProcessTools::startClientUpdater(const QString& dir, const QStringList& args)
{
    qDebug() << "startClientUpdater" << dir << args;
    if (!usableDir(dir))
        return;
    const QString path = dir + "/update";
    if (!QFile::exists(path)) {
        qDebug() << "Failed to find" << path;
        return;
    }
    qDebug() << "starting" << path;
    startDetached(path, args, dir);
}

bool ProcessTools::usableDir(const QString& dir)
{
    if (dir.isEmpty()) {
        qDebug() << "No directory to start from";
        return false;
    }
    return true;
}

void ProcessTools::startDetached(const QString& path, const QStringList& args, const QString& dir)
{
    // The caller closes the updater in every case, so a failed start is only logged.
    if (!QProcess::startDetached(path, args, dir))
        qDebug() << "Failed to start" << path;
}
