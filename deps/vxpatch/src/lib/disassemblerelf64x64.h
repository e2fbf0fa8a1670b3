#ifndef VXPATCH_DISASSEMBLERELF64X64_H
#define VXPATCH_DISASSEMBLERELF64X64_H

#include "disassemblerelf64.h"

namespace vxpatch {

// x86-64 ELF images (ELF_64_X64): no absolute locations; calls, jumps and
// RIP-relative calls, jumps and loads are the relative sites. Borrows the
// image buffer; one thread at a time.
class DisassemblerElf64X64 : public DisassemblerElf64 {
public:
    DisassemblerElf64X64(const uint8_t* start, uint32_t length);
    ~DisassemblerElf64X64() override;

    ExecutableType executableType() const override;
    uint16_t ElfMachine() const override { return 62; }
    bool RelocToRva(uint64_t r_offset, uint64_t r_info, uint32_t* rva) const override;
    bool WalkRelocSection(const uint8_t* sectionHeader, DisassembledProgram* program) override;
    bool ScanRel32(const uint8_t* sectionHeader) override;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERELF64X64_H
