#include "disassemblerelf32arm.h"

#include "disassembledprogram.h"
#include "executablebytes.h"

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

namespace {

constexpr uint32_t R_ARM_RELATIVE = 23;

} // namespace

bool DisassemblerElf32ARM::ComputeTarget(const uint8_t* op, TypedRVA* site)
{
    uint32_t bits = 0;
    switch (site->type) {
    case 0:
    case 1:
        bits = ReadU16(op);
        site->size = 2;
        break;
    case 2:
        bits = ReadU32(op);
        site->size = 4;
        break;
    case 3:
    case 4:
        bits = (uint32_t(ReadU16(op)) << 16) | ReadU16(op + 2);
        site->size = 4;
        break;
    default:
        return false;
    }
    return DecodeArmBranch(site->type, bits, site->rva, &site->cop, &site->relative_target);
}

bool DisassemblerElf32ARM::EmitSite(DisassembledProgram* program, const TypedRVA& site,
                                    uint32_t targetRva)
{
    return program->AddArmBranchAt(site.cop, targetRva, start_ + site.op_offset, site.size);
}

DisassemblerElf32ARM::DisassemblerElf32ARM(const uint8_t* start, uint32_t length)
    : DisassemblerElf32(start, length)
{
}

DisassemblerElf32ARM::~DisassemblerElf32ARM() = default;

ExecutableType DisassemblerElf32ARM::executableType() const
{
    return EXE_ELF_32_ARM;
}

bool DisassemblerElf32ARM::RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const
{
    if (r_info != R_ARM_RELATIVE)
        return false;
    *rva = r_offset;
    return true;
}

// Entries before the first absolute location stay raw, one by one. From there
// the entries that match the absolute locations in order become one
// relocation-table instruction once all are matched; a walk that stops short
// drops the entries it passed over. The rest of the section stays raw.
bool DisassemblerElf32ARM::WalkRelocSection(const uint8_t* sh, DisassembledProgram* program)
{
    const uint32_t offset = SectionOffset(sh);
    const uint32_t size = SectionSize(sh);
    if (abs32Rvas.empty())
        return AddRange(program, offset, size);
    const uint32_t count = EntryCount(sh);
    const uint64_t bufferLength = uint64_t(end_ - start_);
    auto entryAt = [&](uint32_t i) -> const uint8_t* {
        const uint64_t entry = uint64_t(offset) + 8ull * i;
        return RangeInside(entry, 8, bufferLength) ? start_ + entry : nullptr;
    };

    uint32_t i = 0;
    for (; i < count; ++i) {
        const uint8_t* entry = entryAt(i);
        if (!entry)
            return false;
        if (ReadU32(entry) == abs32Rvas[0])
            break;
        if (!AddRange(program, uint32_t(entry - start_), 8))
            return false;
    }
    if (abs32Rvas.size() <= count) {
        for (size_t k = 0;; ++k) {
            if (k == abs32Rvas.size()) {
                if (!program->AddElfArmRelocTable())
                    return false;
                break;
            }
            if (i >= count)
                break;
            const uint8_t* entry = entryAt(i);
            if (!entry)
                return false;
            ++i;
            if (ReadU32(entry + 4) != R_ARM_RELATIVE || ReadU32(entry) != abs32Rvas[k])
                break;
        }
    }
    const uint64_t rest = uint64_t(offset) + 8ull * i;
    if (rest > uint64_t(offset) + size)
        return false;
    return AddRange(program, uint32_t(rest), uint32_t(uint64_t(offset) + size - rest));
}

// Walks the section in halfwords, trying the 16-bit Thumb forms first, then
// the 32-bit Thumb-2 forms and, on word-aligned positions only, the ARM form.
bool DisassemblerElf32ARM::ScanRel32(const uint8_t* sh)
{
    const uint32_t offset = SectionOffset(sh);
    const uint32_t addr = SectionAddr(sh);
    const uint32_t sectionEnd = offset + SectionSize(sh);
    // Thumb code holds about a site in every eight bytes; room for them at once spares the
    // copies of growing.
    if (!rel32Sites.EnsureFree(SectionSize(sh) / 8))
        return false;
    bool aligned = true;
    uint32_t p = offset;
    while (p < sectionEnd) {
        const uint32_t remaining = sectionEnd - p;
        const uint8_t* at = start_ + p;
        uint32_t type = 0xFFFFFFFFu;
        if (remaining >= 3) {
            const uint16_t hw = ReadU16(at);
            if ((hw & 0xF000) == 0xD000)
                type = 0;
            else if ((hw & 0xF800) == 0xE000)
                type = 1;
        }
        if (type == 0xFFFFFFFFu) {
            if (remaining < 5) {
                aligned = !aligned;
                p += 2;
                continue;
            }
            const uint16_t hw2 = ReadU16(at + 2);
            const uint32_t w = (uint32_t(ReadU16(at)) << 16) | hw2;
            if ((w & 0xF8008000) == 0xF0008000) {
                type = (hw2 & 0x5000) != 0 ? 3 : 4;
            } else if (!aligned || (ReadU32(at) & 0x0E000000) != 0x0A000000) {
                aligned = !aligned;
                p += 2;
                continue;
            } else {
                type = 2;
            }
        }
        TypedRVA site{addr + (p - offset), 0, 0xFFFFFFFFu, p, 0, uint8_t(type), 0};
        if (!ComputeTarget(at, &site))
            return false;
        if (TargetInLoadSegment(site.rva + site.relative_target)) {
            if (!rel32Sites.PushBack(site))
                return false;
            p += site.size;
            aligned = true;
        } else {
            aligned = !aligned;
            p += 2;
        }
    }
    return true;
}

} // namespace vxpatch
