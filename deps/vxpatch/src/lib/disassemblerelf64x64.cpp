#include "disassemblerelf64x64.h"

#include "disassembledprogram.h"
#include "executablebytes.h"

namespace vxpatch {

DisassemblerElf64X64::DisassemblerElf64X64(const uint8_t* start, uint32_t length)
    : DisassemblerElf64(start, length)
{
}

DisassemblerElf64X64::~DisassemblerElf64X64() = default;

ExecutableType DisassemblerElf64X64::executableType() const
{
    return EXE_ELF_64_X64;
}

bool DisassemblerElf64X64::RelocToRva(uint64_t, uint64_t, uint32_t*) const
{
    return false;
}

bool DisassemblerElf64X64::WalkRelocSection(const uint8_t* sh, DisassembledProgram* program)
{
    return AddRange(program, SectionOffset(sh), SectionSize(sh));
}

bool DisassemblerElf64X64::ScanRel32(const uint8_t* sh)
{
    return ScanX86Section(sh, true);
}

} // namespace vxpatch
