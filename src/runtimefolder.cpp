#include "runtimefolder.h"

#include "trustedfolder.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString fallbackFolder()
{
    return QDir::tempPath() + QStringLiteral("/vx3update-") + QString::number(geteuid());
}

} // namespace

QString RuntimeFolder::path(QString* reason)
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime)) {
        QString why;
        if (isPrivate(runtime, &why))
            return QDir::cleanPath(runtime);
        // For example a user's folder kept by sudo: not this user's to use.
        qDebug() << "Not using XDG_RUNTIME_DIR:" << why;
    }

    const QString folder = fallbackFolder();
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        if (reason)
            *reason = QString("Cannot create %1: %2").arg(folder, systemError(errno));
        return QString();
    }
    QString why;
    if (!isPrivate(folder, &why)) {
        if (reason)
            *reason = why;
        return QString();
    }
    return folder;
}

bool RuntimeFolder::isPrivate(const QString& dir, QString* reason)
{
    QString why;
    if (TrustedFolder::isPrivate(dir, &why))
        return true;
    *reason = dir + QLatin1Char(' ') + why;
    return false;
}
