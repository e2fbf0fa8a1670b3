#include "disassemblerelf32arm.h"

#include <gtest/gtest.h>

#include <random>

namespace vxpatch {
namespace {

struct Form {
    uint32_t type;
    uint32_t mask;   // bits the form fixes
    uint32_t value;  // their values
    uint32_t width;  // 0xFFFF for halfword forms
};

// The instruction patterns the ELF scan recognises for each type.
const Form kForms[] = {
    {0, 0xF000, 0xD000, 0xFFFF},
    {1, 0xF800, 0xE000, 0xFFFF},
    {2, 0x0E000000, 0x0A000000, 0xFFFFFFFF},
    {3, 0xF8009000, 0xF0009000, 0xFFFFFFFF},  // BL (bit 12 set)
    {3, 0xF8005000, 0xF0004000, 0xFFFFFFFF},  // BLX (bit 14 set, bit 12 clear)
    {4, 0xF800D000, 0xF0008000, 0xFFFFFFFF},
};

TEST(DisassemblerElf32ARM, BranchesToThemselvesDecodeToZero)
{
    struct Case {
        uint32_t type;
        uint32_t bits;
        uint16_t cop;
    };
    const Case cases[] = {
        {0, 0xD0FE, 0x10D0},      // beq .
        {1, 0xE7FE, 0x201C},      // b .
        {2, 0xEAFFFFFE, 0x30EA},  // b .
        {3, 0xF7FFFFFE, 0x44F7},  // bl .
        {4, 0xF43FAFFE, 0x5000},  // beq.w .
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        uint16_t cop = 0;
        uint32_t addr = 1;
        ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(c.type, c.bits, 0x1000, &cop, &addr));
        EXPECT_EQ(addr, 0u);
        EXPECT_EQ(cop, c.cop);
        EXPECT_EQ(cop >> 12, c.type + 1);
    }
}

TEST(DisassemblerElf32ARM, EveryFormRoundTripsWithRandomFields)
{
    std::mt19937 random(20090218);
    for (const Form& form : kForms) {
        SCOPED_TRACE(form.type);
        for (int i = 0; i < 20000; ++i) {
            const uint32_t bits = ((random() & ~form.mask) | form.value) & form.width;
            const uint32_t rva = random() & ~1u;
            uint16_t cop = 0;
            uint32_t addr = 0;
            ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(form.type, bits, rva, &cop, &addr));
            ASSERT_EQ(cop >> 12, form.type + 1);
            uint32_t encoded = 0;
            ASSERT_TRUE(DisassemblerElf32ARM::EncodeArmBranch(form.type, cop, addr, &encoded));
            ASSERT_EQ(encoded, bits) << std::hex << "rva " << rva << " cop " << cop << " addr "
                                     << addr;

            uint16_t cop2 = 0;
            uint32_t addr2 = 0;
            ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(form.type, encoded, rva, &cop2, &addr2));
            ASSERT_EQ(cop2, cop);
            ASSERT_EQ(addr2, addr);
        }
    }
}

// The BLX form counts from the site + 2 when the site is not word-aligned; the op keeps which.
TEST(DisassemblerElf32ARM, BlxFromAHalfwordSiteKeepsItsBias)
{
    const uint32_t blx = 0xF000E800;  // bit 14 set, bit 12 clear
    uint16_t aligned = 0;
    uint16_t unaligned = 0;
    uint32_t addrAligned = 0;
    uint32_t addrUnaligned = 0;
    ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(3, blx, 0x1000, &aligned, &addrAligned));
    ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(3, blx, 0x1002, &unaligned, &addrUnaligned));
    EXPECT_EQ((aligned >> 8) & 0xF, 4);
    EXPECT_EQ((unaligned >> 8) & 0xF, 2);
    EXPECT_EQ(addrAligned - addrUnaligned, 2u);
}

// Bit 13 goes to address bit 19 and bit 11 to bit 18.
TEST(DisassemblerElf32ARM, WideConditionalPlacesJ1AboveJ2)
{
    const uint32_t base = 0xF0008000;
    uint16_t cop = 0;
    uint32_t zero = 0;
    uint32_t j1 = 0;
    uint32_t j2 = 0;
    ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(4, base, 0, &cop, &zero));
    ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(4, base | 0x2000, 0, &cop, &j1));
    ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(4, base | 0x0800, 0, &cop, &j2));
    EXPECT_EQ(j1 - zero, 1u << 19);
    EXPECT_EQ(j2 - zero, 1u << 18);
}

TEST(DisassemblerElf32ARM, TypesAboveFourFailBothWays)
{
    for (uint32_t type : {5u, 6u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(type);
        uint16_t cop = 0x1234;
        uint32_t value = 0x5678;
        EXPECT_FALSE(DisassemblerElf32ARM::DecodeArmBranch(type, 0xD0FE, 0, &cop, &value));
        EXPECT_FALSE(DisassemblerElf32ARM::EncodeArmBranch(type, 0x1000, 0, &value));
        EXPECT_EQ(cop, 0x1234);
        EXPECT_EQ(value, 0x5678u);
    }
}

} // namespace
} // namespace vxpatch
