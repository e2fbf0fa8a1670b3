#ifndef VXTEST_PROGRAMTESTHELPERS_H
#define VXTEST_PROGRAMTESTHELPERS_H

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "encodedprogram.h"
#include "growablebuffer.h"
#include "log.h"

namespace vxtest {

using Bytes = std::vector<uint8_t>;

struct EncodedProgramDeleter {
    void operator()(vxpatch::EncodedProgram* program) const { vxpatch::DestroyEncodedProgram(program); }
};
// Owns an encoded program the library made.
using EncodedProgramPtr = std::unique_ptr<vxpatch::EncodedProgram, EncodedProgramDeleter>;

inline Bytes Le16(uint16_t v)
{
    return {uint8_t(v), uint8_t(v >> 8)};
}

inline Bytes Le32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

template <typename T>
std::vector<T> TableOf(const vxpatch::GrowableBuffer<T>& table)
{
    return std::vector<T>(table.data(), table.data() + table.size());
}

// Collects every log line while it is alive.
class CapturedLog : public LogBase {
public:
    struct Line {
        int level;
        std::string message;
        std::string channel;
        uint64_t id;
    };

    void flush() override {}
    void setting(int32_t, int32_t) override {}
    void write(const std::string& message, int level, const std::string& channel, uint64_t id,
               const std::string&, const std::string&) override
    {
        lines.push_back({level, message, channel, id});
    }

    std::vector<Line> lines;
};

} // namespace vxtest

#endif // VXTEST_PROGRAMTESTHELPERS_H
