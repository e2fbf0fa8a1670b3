#include "processtools.h"

#include "configuration.h"

#include <QDebug>
#include <QFile>
#include <QProcess>

bool ProcessTools::startVx3Client(const QString& dir, QString* error)
{
    qDebug() << "startVx3Client" << dir;
    if (!usableDir(dir)) {
        if (error)
            *error = QStringLiteral("No directory to start from");
        return false;
    }
    const QString path = dir + "/" + Configuration::runScriptName();
    qDebug() << "starting " << path;
    return startDetached(path, QStringList(), dir, error);
}

bool ProcessTools::startClientUpdater(const QString& dir, const QStringList& args, QString* error)
{
    qDebug() << "startClientUpdater" << dir << args;
    if (!usableDir(dir)) {
        if (error)
            *error = QStringLiteral("No directory to start from");
        return false;
    }
    const QString path = dir + "/update";
    if (!QFile::exists(path)) {
        qDebug() << "Failed to find" << path;
        if (error)
            *error = "Failed to find " + path;
        return false;
    }
    qDebug() << "starting" << path;
    return startDetached(path, args, dir, error);
}

bool ProcessTools::usableDir(const QString& dir)
{
    if (dir.isEmpty()) {
        qDebug() << "No directory to start from";
        return false;
    }
    return true;
}

bool ProcessTools::startDetached(const QString& path, const QStringList& args, const QString& dir,
                                 QString* error)
{
    if (QProcess::startDetached(path, args, dir))
        return true;
    qDebug() << "Failed to start" << path;
    if (error)
        *error = "Failed to start " + path;
    return false;
}
