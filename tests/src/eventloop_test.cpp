#include "configuration.h"
#include "deleteentry.h"
#include "eventloop.h"

#include <QTimer>
#include <gtest/gtest.h>

TEST(Configuration, StartsNotReadyWithSixStreams)
{
    Configuration config;
    EXPECT_FALSE(config.isReady);
    EXPECT_EQ(config.streams, 6);
    EXPECT_TRUE(config.workDir.isEmpty());
}

TEST(EventLoopHelpers, WaitForCountSeesQueuedSignal)
{
    Configuration config;
    QSignalSpy spy(&config, &Configuration::ready);
    QTimer::singleShot(20, &config, [&] { emit config.ready(); });
    EXPECT_TRUE(vxtest::waitForCount(spy, 1, 2000));
    EXPECT_FALSE(vxtest::waitForCount(spy, 2, 100));
}
