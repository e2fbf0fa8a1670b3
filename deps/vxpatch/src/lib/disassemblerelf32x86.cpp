#include "disassemblerelf32x86.h"

#include "disassembledprogram.h"
#include "executablebytes.h"

namespace vxpatch {

namespace {

constexpr uint32_t R_386_RELATIVE = 8;

} // namespace

DisassemblerElf32X86::DisassemblerElf32X86(const uint8_t* start, uint32_t length)
    : DisassemblerElf32(start, length)
{
}

DisassemblerElf32X86::~DisassemblerElf32X86() = default;

ExecutableType DisassemblerElf32X86::executableType() const
{
    return EXE_ELF_32_X86;
}

bool DisassemblerElf32X86::RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const
{
    if (r_info != R_386_RELATIVE)
        return false;
    *rva = r_offset;
    return true;
}

// The table becomes one relocation-table instruction when its leading entries
// are exactly the absolute locations, in order; otherwise it stays raw bytes.
bool DisassemblerElf32X86::WalkRelocSection(const uint8_t* sh, DisassembledProgram* program)
{
    const uint32_t offset = SectionOffset(sh);
    const uint32_t size = SectionSize(sh);
    const uint32_t count = EntryCount(sh);
    const uint64_t bufferLength = uint64_t(end_ - start_);
    if (!abs32Rvas.empty() && abs32Rvas.size() <= count) {
        for (size_t k = 0;; ++k) {
            const uint64_t entry = uint64_t(offset) + 8 * k;
            if (k == abs32Rvas.size()) {
                if (!program->AddElfRelocTable())
                    return false;
                if (entry > uint64_t(offset) + size)
                    return false;
                return AddRange(program, uint32_t(entry), uint32_t(offset + size - entry));
            }
            if (!RangeInside(entry, 8, bufferLength))
                return false;
            if (ReadU32(start_ + entry + 4) != R_386_RELATIVE || ReadU32(start_ + entry) != abs32Rvas[k])
                break;
        }
    }
    return AddRange(program, offset, size);
}

bool DisassemblerElf32X86::ScanRel32(const uint8_t* sh)
{
    return ScanX86Section(sh, false);
}

} // namespace vxpatch
