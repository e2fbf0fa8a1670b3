#ifndef VXTEST_REPLACETESTUTIL_H
#define VXTEST_REPLACETESTUTIL_H

#include "configuration.h"
#include "eventloop.h"
#include "taskspecification.h"
#include "testpaths.h"
#include "updatefileentry.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace vxtest {

// A work directory and an installation directory in a fresh temporary folder, with the
// configuration that points at them.
struct ReplaceTree {
    ReplaceTree()
    {
        QDir().mkpath(work());
        QDir().mkpath(install());
        config.workDir = work();
        config.installDir = install();
    }
    QString work() const { return tmp.filePath("work"); }
    QString install() const { return tmp.filePath("install"); }
    QString workFile(const QString& name) const { return work() + "/" + name; }
    QString installFile(const QString& name) const { return install() + "/" + name; }

    // Puts `data` at `path`, making its folders.
    static void put(const QString& path, const QByteArray& data)
    {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).absolutePath()));
        ASSERT_TRUE(writeFile(path, data));
    }

    QTemporaryDir tmp;
    Configuration config;
};

// Every file (with its content and permission bits) and every directory below `root`.
inline QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> tree;
    const QDir base(root);
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString mode = QString::number(int(info.permissions()), 16);
        tree.insert(base.relativeFilePath(path),
                    info.isDir() ? QByteArray("<dir>") : "<" + mode.toLatin1() + ">" + readFile(path));
    }
    return tree;
}

inline QString sha512Hex(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

// `data` compressed by the gzip tool.
inline QByteArray gzipped(const QByteArray& data)
{
    QProcess gzip;
    gzip.start("gzip", {"-c", "-n"});
    if (!gzip.waitForStarted())
        return QByteArray();
    gzip.write(data);
    gzip.closeWriteChannel();
    gzip.waitForFinished();
    return gzip.readAllStandardOutput();
}

// Starts the task and runs the event loop until it ended; false on a time-out.
inline bool runToEnd(TaskSpecification& task)
{
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    return runUntil([&] { return finished.count() + canceled.count() > 0; });
}

} // namespace vxtest

#endif // VXTEST_REPLACETESTUTIL_H
