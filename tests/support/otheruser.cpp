#include "otheruser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vxtest {

namespace {

const char kOtherUser[] = "nobody";
const char kOtherGroup[] = "nogroup";

QStringList switchUser()
{
    return {"--reuid=" + QString(kOtherUser), "--regid=" + QString(kOtherGroup), "--clear-groups", "--"};
}

} // namespace

QString otherUserUnavailable()
{
    if (::geteuid() != 0)
        return "needs root to act as a second local user";
    if (QStandardPaths::findExecutable("setpriv").isEmpty())
        return "needs setpriv to act as a second local user";
    if (!::getpwnam(kOtherUser) || !::getgrnam(kOtherGroup))
        return "needs the user nobody and the group nogroup";
    return QString();
}

uid_t otherUserId()
{
    const struct passwd* user = ::getpwnam(kOtherUser);
    return user ? user->pw_uid : uid_t(-1);
}

gid_t otherUserGroupId()
{
    const struct group* group = ::getgrnam(kOtherGroup);
    return group ? group->gr_gid : gid_t(-1);
}

bool runAsOtherUser(const QString& dir, const QString& shellCommand)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start("setpriv", switchUser() + QStringList{"/bin/sh", "-ec", shellCommand});
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

QProcess* startAsOtherUser(const QString& dir, const QString& program, const QStringList& args)
{
    auto* process = new QProcess;
    process->setWorkingDirectory(dir);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start("setpriv", switchUser() + QStringList{program} + args);
    process->waitForStarted(30000);
    return process;
}

bool shareLikeSystemTemp(const QString& root, const QString& dir)
{
    if (!QDir().mkpath(dir) || ::chmod(QFile::encodeName(dir).constData(), 01777) != 0)
        return false;
    for (QString up = QFileInfo(dir).absolutePath(); up.startsWith(root); up = QFileInfo(up).absolutePath()) {
        if (::chmod(QFile::encodeName(up).constData(), 0755) != 0)
            return false;
        if (up == root)
            break;
    }
    return true;
}

} // namespace vxtest
