#include "crc.h"
#include "disassembler.h"
#include "executabletype.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace vxpatch {
namespace {

TEST(ComputeCrc, IsTheComplementOfTheZipCrc)
{
    EXPECT_EQ(ComputeCrc(nullptr, 0), 0xFFFFFFFFu);
    EXPECT_EQ(ComputeCrc(reinterpret_cast<const uint8_t*>("abc"), 3), 0xCADBBE3Du);
    // "123456789" is the usual check value 0xCBF43926.
    EXPECT_EQ(ComputeCrc(reinterpret_cast<const uint8_t*>("123456789"), 9), ~0xCBF43926u);

    std::mt19937 random(7);
    std::vector<uint8_t> bytes(100000);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(random());
    EXPECT_EQ(ComputeCrc(bytes.data(), bytes.size()),
              ~static_cast<uint32_t>(crc32(0, bytes.data(), bytes.size())));

    // Long inputs are checked in pieces on several threads; uneven lengths leave a longer last
    // piece.
    constexpr uint32_t kMiB = 1u << 20;
    std::vector<uint8_t> large(64 * kMiB + 3);
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    for (uint32_t size : {32 * kMiB - 1, 32 * kMiB + 1, 48 * kMiB + 5, 64 * kMiB + 3}) {
        SCOPED_TRACE(size);
        EXPECT_EQ(ComputeCrc(large.data(), size),
                  ~static_cast<uint32_t>(crc32(0, large.data(), size)));
    }
}

TEST(ExecutableTypeName, NamesEveryKindAndUnknownBeyond)
{
    const char* names[] = {"UNKNOWN",    "WIN_32_X86", "EXE_ELF_32_X86", "ELF_32_ARM",
                           "WIN_32_X64", "ELF_64_X64", "MACHO_X86",      "MACHO_X64"};
    for (uint32_t i = 0; i < 8; ++i)
        EXPECT_EQ(std::string(ExecutableTypeName(i)), names[i]);
    EXPECT_EQ(std::string(ExecutableTypeName(8)), "UNKNOWN");
    EXPECT_EQ(std::string(ExecutableTypeName(0xFFFFFFFF)), "UNKNOWN");
    EXPECT_EQ(EXE_MACHO_X64, 7u);
}

class TestDisassembler : public Disassembler {
public:
    TestDisassembler(const void* start, uint32_t length) : Disassembler(start, length) {}
    bool ParseHeader() override
    {
        if (length() < 4)
            return Reject("too short");
        ClipLength(4);
        return Accept();
    }
    bool Disassemble(DisassembledProgram*) override { return reason() == nullptr; }
    const uint8_t* at(uint32_t offset) const { return PointerAt(offset); }
};

TEST(Disassembler, RemembersTheLastRejectionAndClipsOnlyDownwards)
{
    const uint8_t bytes[8] = {};
    TestDisassembler shortOne(bytes, 3);
    EXPECT_STREQ(shortOne.reason(), "uninitialized");
    EXPECT_EQ(shortOne.executableType(), EXE_UNKNOWN);
    EXPECT_FALSE(shortOne.Disassemble(nullptr));
    EXPECT_FALSE(shortOne.ParseHeader());
    EXPECT_STREQ(shortOne.reason(), "too short");

    TestDisassembler whole(bytes, 8);
    EXPECT_TRUE(whole.ParseHeader());
    EXPECT_EQ(whole.reason(), nullptr);
    EXPECT_EQ(whole.length(), 4u);
    EXPECT_EQ(whole.end(), bytes + 8);
    EXPECT_EQ(whole.at(5), bytes + 5);
    EXPECT_TRUE(whole.Disassemble(nullptr));
}

} // namespace
} // namespace vxpatch
