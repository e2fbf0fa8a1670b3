#ifndef VXTEST_OTHERUSER_H
#define VXTEST_OTHERUSER_H

#include <QString>
#include <QStringList>

#include <sys/types.h>

class QProcess;

namespace vxtest {

// What another local user ("nobody") can do in the shared temp folder. Needs root (to switch
// user) and setpriv; otherUserUnavailable() gives the reason to skip when they are missing.
QString otherUserUnavailable();
uid_t otherUserId();
// The other user's own group (it has the other user in it).
gid_t otherUserGroupId();

// Runs a shell command as the other user in `dir`; true when it exits with 0.
bool runAsOtherUser(const QString& dir, const QString& shellCommand);
// Starts a program as the other user and returns the running process (the caller owns it).
QProcess* startAsOtherUser(const QString& dir, const QString& program, const QStringList& args);

// Opens `dir` to every user like the system's /tmp (world-writable, sticky) and lets every user
// pass through the folders above it up to `root`.
bool shareLikeSystemTemp(const QString& root, const QString& dir);

} // namespace vxtest

#endif // VXTEST_OTHERUSER_H
