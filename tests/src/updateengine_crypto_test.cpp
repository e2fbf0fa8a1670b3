#include "configuration.h"
#include "updateengine.h"

#include <QSignalSpy>
#include <gtest/gtest.h>
#include <tomcrypt.h>

#include <deque>
#include <string>

namespace {

// A process of its own: the crypto library's registries are global and stay full afterwards.
TEST(UpdateEngineCrypto, RefusedRegistrationIsFatalAndKeepsPreInit)
{
    // Fill the hash table with look-alikes of distinct names, so that SHA-1 finds no slot.
    std::deque<std::string> names;
    std::deque<ltc_hash_descriptor> fillers;
    for (int i = 0; i < 1000; ++i) {
        names.push_back("filler" + std::to_string(i));
        ltc_hash_descriptor desc = sha256_desc;
        desc.name = names.back().c_str();
        fillers.push_back(desc);
        if (register_hash(&fillers.back()) == -1)
            break;
    }
    ASSERT_EQ(register_hash(&sha1_desc), -1) << "the hash table did not fill up";

    Configuration config;
    UpdateEngine engine(&config, nullptr);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    EXPECT_FALSE(engine.initialize());
    ASSERT_EQ(fatal.count(), 1);
    EXPECT_EQ(fatal.at(0).at(0).toString(), "Error registering sha1");
    EXPECT_EQ(engine.getState(), UpdateEngine::PRE_INIT);
    EXPECT_FALSE(engine.isBusy());
}

} // namespace
