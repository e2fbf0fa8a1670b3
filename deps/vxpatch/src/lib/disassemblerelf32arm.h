#ifndef VXPATCH_DISASSEMBLERELF32ARM_H
#define VXPATCH_DISASSEMBLERELF32ARM_H

#include <cstdint>

#include "disassemblerelf32.h"

namespace vxpatch {

// Disassembler of 32-bit ARM ELF images. Holds the ARM branch codec, which turns the bits of
// one branch instruction into a target address relative to the instruction and a compressed op
// (`cop`: top four bits the branch type + 1, low twelve bits the instruction's fixed bits), and
// back. Both directions are exact inverses on every form, since stored patches carry the ops.
//
// Branch types: 0 16-bit conditional branch, 1 16-bit branch, 2 32-bit ARM B/BL,
// 3 32-bit wide B/BL/BLX, 4 32-bit wide conditional branch. For types 0 and 1 the bits are the
// halfword at the site, for type 2 the word, for 3 and 4 (first halfword << 16) | second.
//
// As a disassembler (ELF_32_ARM, mostly Thumb-2 code): R_ARM_RELATIVE relocations are the
// absolute locations, the five branch forms the relative sites. Borrows the image buffer; one
// thread at a time.
class DisassemblerElf32ARM : public DisassemblerElf32 {
public:
    static constexpr uint32_t kArmBranchTypes = 5;

    // Decodes the branch bits at `rva`. Returns false for a type above 4.
    static bool DecodeArmBranch(uint32_t type, uint32_t bits, uint32_t rva, uint16_t* cop,
                                uint32_t* addr);
    // Rebuilds the branch bits from the op and the relative address. Returns false for a type
    // above 4.
    static bool EncodeArmBranch(uint32_t type, uint16_t cop, uint32_t addr, uint32_t* bits);

    // A Thumb or ARM branch site of one of the five forms of the codec: `type`, `cop` and the
    // decoded target of the bits at `op`, and its size by type (2, 2, 4, 4, 4). False for a
    // type above 4.
    static bool ComputeTarget(const uint8_t* op, TypedRVA* site);

    DisassemblerElf32ARM(const uint8_t* start, uint32_t length);
    ~DisassemblerElf32ARM() override;

    ExecutableType executableType() const override;
    uint16_t ElfMachine() const override { return 40; }
    bool RelocToRva(uint32_t r_offset, uint32_t r_info, uint32_t* rva) const override;
    bool WalkRelocSection(const uint8_t* sectionHeader, DisassembledProgram* program) override;
    bool ScanRel32(const uint8_t* sectionHeader) override;
    bool EmitSite(DisassembledProgram* program, const TypedRVA& site, uint32_t targetRva) override;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERELF32ARM_H
