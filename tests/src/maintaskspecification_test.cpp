#include "configuration.h"
#include "cryptwrapper.h"
#include "enginetestutil.h"
#include "eventloop.h"
#include "httpservers.h"
#include "inidownloadtaskspecification.h"
#include "maintaskspecification.h"
#include "testpaths.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using enginetest::put;
using enginetest::sha512Hex;

namespace {

QStringList classesOf(const MainTaskSpecification& task)
{
    QStringList names;
    for (const TaskSpecification* sub : task.getTasks())
        names << sub->metaObject()->className();
    return names;
}

// The tree is built by execute(); its first step starts only from the event loop, so nothing
// runs while it is inspected here.
TEST(MainTask, BuildsTheStepsOfEachPhaseWithSharesAddingUpToOne)
{
    struct Case {
        int clientUpdate;
        QStringList steps;
        QString announced;
    };
    const Case cases[] = {
        {0,
         {"IniDownloadTaskSpecification", "MakeDownloadReplaceListTaskSpecification",
          "DownloadFileListTaskSpecification", "PrePostInstallListTaskSpecification",
          "UpdateSelfUnzipTaskSpecification", "PrePostInstallListTaskSpecification"},
         "Starting update process for updater"},
        {1,
         {"IniDownloadTaskSpecification", "MakeDownloadReplaceListTaskSpecification",
          "DownloadFileListTaskSpecification", "PrePostInstallListTaskSpecification",
          "FileReplaceListTaskSpecification", "FileDeleteListTaskSpecification",
          "PrePostInstallListTaskSpecification"},
         "Starting update process for client"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.clientUpdate);
        QNetworkAccessManager nam;
        Configuration config;
        config.isClientUpdate = c.clientUpdate;
        MainTaskSpecification task(&nam, &config, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_RUNNING);
        EXPECT_EQ(classesOf(task), c.steps);
        ASSERT_EQ(messages.count(), 1);
        EXPECT_EQ(messages.at(0).at(0).toString(), c.announced);

        qreal sum = 0;
        for (const TaskSpecification* sub : task.getTasks()) {
            EXPECT_EQ(sub->parent(), &task);
            sum += sub->getWeight();
        }
        EXPECT_NEAR(sum, 1.0, 1e-9);
        // The ini check keeps its share relative to the list compiler (0.1 to 0.05).
        EXPECT_NEAR(task.getTasks()[0]->getWeight(), 2 * task.getTasks()[1]->getWeight(), 1e-9);

        task.reset();
        EXPECT_EQ(task.getState(), TaskSpecification::TASK_IDLE);
        EXPECT_TRUE(task.getTasks().isEmpty());
    }
}

// One client-phase run that fills every list, then a reset.
TEST(MainTask, ResetAfterARunEmptiesTheListsAndDropsTheSteps)
{
    if (!enginetest::signsWithBuiltinKey())
        GTEST_SKIP() << "built with another public key";
    crypt_init();
    QTemporaryDir root, work, install;
    vxtest::NginxServer nginx(root.path());
    ASSERT_TRUE(nginx.start()) << nginx.errorText().toStdString();
    Configuration::updateBaseUrl = nginx.baseUrl();

    Configuration config;
    config.isClientUpdate = 1;
    config.versionNumber = 77;
    config.workDir = work.path();
    config.installDir = install.path();
    const QByteArray data = "new file\n";
    ASSERT_TRUE(put(root.path() + "/77/files/new.txt", data));
    ASSERT_TRUE(put(install.path() + "/old.txt", "old"));
    const QString ini = QString("[files]\nnew.txt=%1::%2\n[delete]\nold.txt=0\n"
                                "[postinstall]\nmissing_optional=linux32,,optional\n")
                            .arg(sha512Hex(data)).arg(data.size());
    ASSERT_TRUE(enginetest::publishProductIni(root.path(), 77,
                                              IniDownloadTaskSpecification::productIniName(true),
                                              ini.toUtf8()));

    QNetworkAccessManager nam;
    MainTaskSpecification task(&nam, &config, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    ASSERT_TRUE(vxtest::runUntil([&] { return finished.count() + canceled.count() > 0; }, 30000));
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(vxtest::readFile(install.path() + "/new.txt"), data);
    EXPECT_FALSE(QFile::exists(install.path() + "/old.txt"));
    EXPECT_DOUBLE_EQ(task.getProgress(), 1.0);
    EXPECT_EQ(task.getLists().downloadList.size(), 1);
    EXPECT_EQ(task.getLists().replaceList.size(), 1);
    EXPECT_EQ(task.getLists().deleteList.size(), 1);
    EXPECT_EQ(task.getLists().postinstallList.size(), 1);

    task.reset();
    EXPECT_EQ(task.getState(), TaskSpecification::TASK_IDLE);
    EXPECT_DOUBLE_EQ(task.getProgress(), 0.0);
    EXPECT_TRUE(task.getTasks().isEmpty());
    EXPECT_TRUE(task.getLists().downloadList.isEmpty());
    EXPECT_TRUE(task.getLists().replaceList.isEmpty());
    EXPECT_TRUE(task.getLists().deleteList.isEmpty());
    EXPECT_TRUE(task.getLists().preinstallList.isEmpty());
    EXPECT_TRUE(task.getLists().postinstallList.isEmpty());
}

} // namespace
