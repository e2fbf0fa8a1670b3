#include "disassemblerelf32arm.h"

namespace vxpatch {

namespace {

inline uint32_t Bit(uint32_t value, int index)
{
    return (value >> index) & 1u;
}

// 32-bit wide B/BL/BLX: S at 26, imm10 at 16, J1 at 13, J2 at 11, imm11 at 0. The offset
// bits I1 and I2 are NOT(J XOR S). BLX to a word-aligned target from a halfword-aligned site
// counts from the site + 2 instead of + 4; k records which.
void DecodeWideBranch(uint32_t bits, uint32_t rva, uint16_t* cop, uint32_t* addr)
{
    const uint32_t s = Bit(bits, 26);
    const uint32_t k = (Bit(bits, 14) && !Bit(bits, 12) && (rva % 4) != 0) ? 2 : 4;
    const uint32_t offset = ((bits >> 4) & 0x3FF000) | ((bits << 1) & 0xFFE) | (s << 24)
        | ((Bit(bits, 13) ^ s) << 23) | ((Bit(bits, 11) ^ s) << 22);
    *addr = (offset ^ 0xC00000) + (s ? 0xFE000000u : 0) + k;
    *cop = static_cast<uint16_t>(((bits & 0x4000) >> 13) | Bit(bits, 12) | ((bits >> 13) & 4)
                                 | ((bits >> 24) & 0xF8) | (k << 8) | 0x4000);
}

uint32_t EncodeWideBranch(uint16_t cop, uint32_t addr)
{
    const uint32_t d = addr - ((cop >> 8) & 0xF);
    return ((d >> 1) & 0x7FF) | (uint32_t(cop >> 3) << 27) | ((uint32_t(cop) << 13) & 0xC000)
        | (uint32_t(cop & 1) << 12) | ((d << 4) & 0x3FF0000) | ((d << 2) & 0x4000000)
        | ((~(Bit(d, 22) ^ Bit(d, 24)) & 1) << 11) | ((~(Bit(d, 23) ^ Bit(d, 24)) & 1) << 13);
}

// 32-bit wide conditional branch: S at 26, cond at 22, imm6 at 16, J1 at 13, J2 at 11,
// imm11 at 0. J1 lands on address bit 19 and J2 on bit 18.
uint32_t DecodeWideConditionalAddress(uint32_t bits)
{
    const uint32_t offset = ((bits >> 6) & 0x100000) | ((bits >> 4) & 0x3F000)
        | ((bits << 1) & 0xFFE) | ((bits << 6) & 0x80000) | ((bits << 7) & 0x40000);
    return offset - (Bit(bits, 26) ? 0x200000u : 0) + 4;
}

uint32_t EncodeWideConditional(uint16_t cop, uint32_t addr)
{
    const uint32_t v = addr + 0x1FFFFC;
    return ((v << 6) & 0x4000000) | (uint32_t(cop & 0xF) << 22) | ((v >> 7) & 0x800)
        | ((v >> 6) & 0x2000) | ((v >> 1) & 0x7FF) | ((v << 4) & 0x3F0000) | 0xF0008000u;
}

} // namespace

bool DisassemblerElf32ARM::DecodeArmBranch(uint32_t type, uint32_t bits, uint32_t rva,
                                           uint16_t* cop, uint32_t* addr)
{
    uint32_t t = 0;
    switch (type) {
    case 0:
        t = bits << 1;
        *addr = ((t & 0x100) ? (t | ~0x1FFu) : (t & 0x1FE)) + 4;
        *cop = static_cast<uint16_t>((bits >> 8) | 0x1000);
        return true;
    case 1:
        t = bits << 1;
        *addr = ((t & 0x800) ? (t | ~0xFFFu) : (t & 0xFFE)) + 4;
        *cop = static_cast<uint16_t>((bits >> 11) | 0x2000);
        return true;
    case 2:
        t = bits << 2;
        *addr = ((t & 0x2000000) ? (t | 0xFC000000u) : (t & 0x3FFFFFC)) + 8;
        *cop = static_cast<uint16_t>((bits >> 24) | 0x3000);
        return true;
    case 3:
        DecodeWideBranch(bits, rva, cop, addr);
        return true;
    case 4:
        *addr = DecodeWideConditionalAddress(bits);
        *cop = static_cast<uint16_t>(((bits >> 22) & 0xF) | 0x5000);
        return true;
    default:
        return false;
    }
}

bool DisassemblerElf32ARM::EncodeArmBranch(uint32_t type, uint16_t cop, uint32_t addr,
                                           uint32_t* bits)
{
    switch (type) {
    case 0:
        *bits = ((uint32_t(cop) << 8) & 0xFFF00) | (((addr + 508) >> 1) & 0xFF);
        return true;
    case 1:
        *bits = ((uint32_t(cop) << 11) & 0x7FF800) | (((addr + 4092) >> 1) & 0x7FF);
        return true;
    case 2:
        *bits = (uint32_t(cop) << 24) | (((addr + 0x3FFFFF8) >> 2) & 0xFFFFFF);
        return true;
    case 3:
        *bits = EncodeWideBranch(cop, addr);
        return true;
    case 4:
        *bits = EncodeWideConditional(cop, addr);
        return true;
    default:
        return false;
    }
}

} // namespace vxpatch
