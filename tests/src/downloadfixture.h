#ifndef DOWNLOADFIXTURE_H
#define DOWNLOADFIXTURE_H

#include "configuration.h"
#include "eventloop.h"
#include "httpservers.h"
#include "taskspecification.h"
#include "testpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace dltest {

// Deterministic file contents that differ per seed.
inline QByteArray pattern(int size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(seed) * 7919u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char(x);
    }
    return data;
}

// Writes `data` to root/relPath, making the folders on the way.
inline bool publish(const QString& root, const QString& relPath, const QByteArray& data)
{
    const QString path = root + "/" + relPath;
    QDir().mkpath(QFileInfo(path).path());
    return vxtest::writeFile(path, data);
}

// Every text a task emitted through message(), in order.
inline QStringList texts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

// Runs the event loop until the task has left TASK_RUNNING (and TASK_IDLE).
inline bool waitEnded(TaskSpecification& task, int timeoutMs = 20000)
{
    return vxtest::runUntil([&] {
        const int s = task.getState();
        return s != TaskSpecification::TASK_RUNNING && s != TaskSpecification::TASK_IDLE;
    }, timeoutMs);
}

// Files left in a folder (recursively), relative to it.
inline QStringList filesIn(const QString& dir)
{
    QStringList out;
    QDir base(dir);
    const QFileInfoList entries =
        base.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo& info : entries) {
        if (info.isDir()) {
            for (const QString& inner : filesIn(info.filePath()))
                out << info.fileName() + "/" + inner;
        } else {
            out << info.fileName();
        }
    }
    return out;
}

// Servers shared by every test of a suite over one published root: nginx for plain
// serving, the fault server for the rest.
class ServedRootTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        root = new QTemporaryDir;
        nginx = new vxtest::NginxServer(root->path());
        faults = new vxtest::FaultServer(root->path());
        ASSERT_TRUE(nginx->start()) << nginx->errorText().toStdString();
        ASSERT_TRUE(faults->start());
    }

    static void TearDownTestSuite()
    {
        delete faults;
        delete nginx;
        delete root;
        faults = nullptr;
        nginx = nullptr;
        root = nullptr;
    }

    static inline QTemporaryDir* root = nullptr;
    static inline vxtest::NginxServer* nginx = nullptr;
    static inline vxtest::FaultServer* faults = nullptr;
};

} // namespace dltest

#endif // DOWNLOADFIXTURE_H
