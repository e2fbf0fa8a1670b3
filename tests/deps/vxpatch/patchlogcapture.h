#ifndef VXPATCH_TESTS_PATCHLOGCAPTURE_H
#define VXPATCH_TESTS_PATCHLOGCAPTURE_H

#include "log.h"

#include <string>
#include <vector>

// Log sink that records the messages of the patch library while it is alive, so that
// tests can check the exact texts a failure reports.
class PatchLogCapture : public LogBase {
public:
    void flush() override {}
    void setting(int32_t, int32_t) override {}
    void write(const std::string& message, int level, const std::string&, uint64_t,
               const std::string&, const std::string&) override
    {
        messages.push_back(message);
        levels.push_back(level);
    }

    bool contains(const std::string& text) const
    {
        for (const auto& message : messages) {
            if (message == text)
                return true;
        }
        return false;
    }

    std::vector<std::string> messages;
    std::vector<int> levels;
};

#endif // VXPATCH_TESTS_PATCHLOGCAPTURE_H
