#include "runtimefolder.h"

#include "trustedfolder.h"

#include <QDebug>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

const char kRootParent[] = "/run";
const char kRootFolder[] = "/run/vx3update";
const char kUserFolder[] = "/.vx3update";

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QString failed(QString* reason, const QString& text)
{
    if (reason)
        *reason = text;
    return QString();
}

// `folder` made 0700 when missing, and used only when it is then private to the effective user.
QString privateFolder(const QString& folder, QString* reason)
{
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
        return failed(reason, QString("Cannot create %1: %2").arg(folder, systemError(errno)));
    QString why;
    if (!RuntimeFolder::isPrivate(folder, &why))
        return failed(reason, why);
    return folder;
}

// Root's folder below /run, where only root can create names.
QString rootFolder(QString* reason)
{
    struct stat parent;
    if (::stat(kRootParent, &parent) != 0 || !S_ISDIR(parent.st_mode) || parent.st_uid != 0
        || (parent.st_mode & (S_IWGRP | S_IWOTH)))
        return failed(reason, QString("Cannot use %1: it is not a folder that only root can write to")
                                  .arg(QLatin1String(kRootParent)));
    return privateFolder(QLatin1String(kRootFolder), reason);
}

// The home folder: $HOME, else the account's.
QString homePath()
{
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home))
        return home;
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return QString();
    return QFile::decodeName(found->pw_dir);
}

// A user's folder in their home, which no other user can write to.
QString homeFolder(QString* reason)
{
    const QString home = homePath();
    if (home.isEmpty())
        return failed(reason, QStringLiteral("Cannot find the home folder of uid %1").arg(::geteuid()));
    QString why;
    if (!RuntimeFolder::isPrivate(home, &why))
        return failed(reason, why);
    return privateFolder(QDir::cleanPath(home) + QLatin1String(kUserFolder), reason);
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
    // Others can create names in the temp folder first; root has a place where they cannot,
    // and every other user their home folder, whatever TMPDIR a run has.
    if (::geteuid() == 0)
        return rootFolder(reason);
    return homeFolder(reason);
}

QString RuntimeFolder::lockFolder(QString* reason)
{
    return ::geteuid() == 0 ? rootFolder(reason) : path(reason);
}

bool RuntimeFolder::isPrivate(const QString& dir, QString* reason)
{
    QString why;
    if (TrustedFolder::isPrivate(dir, &why))
        return true;
    *reason = dir + QLatin1Char(' ') + why;
    return false;
}
