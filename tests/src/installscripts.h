#ifndef VXTEST_INSTALLSCRIPTS_H
#define VXTEST_INSTALLSCRIPTS_H

#include "testpaths.h"

#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace vxtest {

// Writes a shell script that only its owner may read, write and run.
inline bool writeScript(const QString& path, const QByteArray& body)
{
    if (!writeFile(path, "#!/bin/sh\n" + body))
        return false;
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Shell code that records the working directory, the argument count and each argument, one a
// line, in `marker`; written aside and renamed so a waiting test never reads half of it.
inline QByteArray recordRunScript(const QString& marker)
{
    const QByteArray quoted = "'" + marker.toUtf8() + "'";
    return "{ pwd -P; echo \"$#\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; } > "
           + quoted + ".part && mv " + quoted + ".part " + quoted + "\n";
}

// Collects the debug and warning lines written while it exists (one capture at a time).
class LogCapture
{
public:
    LogCapture()
    {
        QMutexLocker lock(&mutex());
        store().clear();
        previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() { qInstallMessageHandler(previous); }

    QStringList lines() const
    {
        QMutexLocker lock(&mutex());
        return store();
    }
    bool contains(const QString& text) const { return !lines().filter(text).isEmpty(); }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        QMutexLocker lock(&mutex());
        store() << text;
    }
    static QMutex& mutex()
    {
        static QMutex m;
        return m;
    }
    static QStringList& store()
    {
        static QStringList s;
        return s;
    }

    QtMessageHandler previous;
};

} // namespace vxtest

#endif // VXTEST_INSTALLSCRIPTS_H
