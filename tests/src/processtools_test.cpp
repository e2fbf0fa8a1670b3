#include "processtools.h"

#include "configuration.h"
#include "eventloop.h"
#include "installscripts.h"
#include "testpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QStringList waitForLines(const QString& marker)
{
    if (!vxtest::runUntil([&] { return QFile::exists(marker); }))
        return {};
    return QString::fromUtf8(vxtest::readFile(marker)).split('\n', Qt::SkipEmptyParts);
}

QString canonical(const QString& dir)
{
    return QFileInfo(dir).canonicalFilePath();
}

} // namespace

TEST(ProcessTools, StartVx3ClientRunsTheRunScriptDetachedInItsFolder)
{
    QTemporaryDir install;
    const QString marker = install.filePath("started");
    ASSERT_TRUE(vxtest::writeScript(install.filePath(Configuration::runScriptName()),
                                    vxtest::recordRunScript(marker)));
    ProcessTools::startVx3Client(install.path());
    EXPECT_EQ(waitForLines(marker), QStringList({canonical(install.path()), "0"}));
}

TEST(ProcessTools, StartClientUpdaterRunsTheNewUpdaterWithItsArgumentsInTheWorkFolder)
{
    QTemporaryDir work;
    const QString marker = work.filePath("started");
    ASSERT_TRUE(vxtest::writeScript(work.filePath("update"), vxtest::recordRunScript(marker)));
    const QStringList args{"--clientupdate", "client_linux_x86", "412", "3.2 beta"};
    ProcessTools::startClientUpdater(work.path(), args);
    EXPECT_EQ(waitForLines(marker),
              QStringList({canonical(work.path()), "4"}) + args);
}

TEST(ProcessTools, StartClientUpdaterWithoutAnUpdaterOnlyLogs)
{
    QTemporaryDir work;
    vxtest::LogCapture log;
    ProcessTools::startClientUpdater(work.path(), {"--clientupdate"});
    const QStringList notFound = log.lines().filter("Failed to find");
    ASSERT_EQ(notFound.size(), 1);
    EXPECT_TRUE(notFound.at(0).contains(work.filePath("update")));
    EXPECT_TRUE(log.lines().filter("starting").isEmpty()) << "nothing may be started";
}

TEST(ProcessTools, FailedStartsAreSilentAndStartNothing)
{
    QTemporaryDir dir;
    // An updater that is there but cannot run, and a folder without the run script.
    ASSERT_TRUE(vxtest::writeFile(dir.filePath("update"), "#!/bin/sh\nexit 0\n"));
    ASSERT_TRUE(QFile::setPermissions(dir.filePath("update"), QFile::ReadOwner | QFile::WriteOwner));
    vxtest::LogCapture log;
    ProcessTools::startClientUpdater(dir.path(), {});
    ProcessTools::startVx3Client(dir.path());
    EXPECT_EQ(log.lines().filter("Failed to start").size(), 2) << log.lines().join('\n').toStdString();
}

TEST(ProcessTools, EmptyFolderStartsNothing)
{
    vxtest::LogCapture log;
    ProcessTools::startVx3Client(QString());
    ProcessTools::startClientUpdater(QString(), {"--clientupdate"});
    EXPECT_TRUE(log.lines().filter("starting").isEmpty()) << log.lines().join('\n').toStdString();
}
