#ifndef VXPATCH_DISASSEMBLERELF32X86_H
#define VXPATCH_DISASSEMBLERELF32X86_H

#include "disassemblerelf32.h"

namespace vxpatch {

// 32-bit x86 ELF images (EXE_ELF_32_X86): R_386_RELATIVE relocations are the
// absolute locations, calls and jumps with 32-bit displacements the relative
// sites. Borrows the image buffer; one thread at a time.
class DisassemblerElf32X86 : public DisassemblerElf32 {
public:
    DisassemblerElf32X86(const uint8_t* start, uint32_t length);
    ~DisassemblerElf32X86() override;

    ExecutableType executableType() const override;
    uint16_t ElfMachine() const override { return 3; }
    bool RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const override;
    bool WalkRelocSection(const uint8_t* sectionHeader, DisassembledProgram* program) override;
    bool ScanRel32(const uint8_t* sectionHeader) override;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERELF32X86_H
