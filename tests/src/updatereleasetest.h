#ifndef UPDATERELEASETEST_H
#define UPDATERELEASETEST_H

#include "updaterun.h"

#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

// Fixture base of the tests that run the real updater against one release, built once per test
// suite and served by nginx. Needs VX_UPDATE_PROGRAM and VX_MKRELEASE defined by the target.
class UpdateReleaseTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        root = new QTemporaryDir;
        release = new vxtest::UpdateRelease(root->filePath("release"), VX_UPDATE_PROGRAM,
                                            VX_MKRELEASE);
        if (!release->build()) {
            buildError = release->errorText();
            delete release;
            release = nullptr;
        }
    }

    static void TearDownTestSuite()
    {
        delete release;
        release = nullptr;
        delete root;
        root = nullptr;
    }

    void SetUp() override
    {
        ::umask(022);
        ASSERT_TRUE(release) << buildError.toStdString();
    }

    static inline QTemporaryDir* root = nullptr;
    static inline vxtest::UpdateRelease* release = nullptr;
    static inline QString buildError;
};

#endif // UPDATERELEASETEST_H
