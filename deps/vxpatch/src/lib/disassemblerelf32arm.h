#ifndef VXPATCH_DISASSEMBLERELF32ARM_H
#define VXPATCH_DISASSEMBLERELF32ARM_H

#include <cstdint>

namespace vxpatch {

// Disassembler of 32-bit ARM ELF images. Holds the ARM branch codec, which turns the bits of
// one branch instruction into a target address relative to the instruction and a compressed op
// (`cop`: top four bits the branch type + 1, low twelve bits the instruction's fixed bits), and
// back. Both directions are exact inverses on every form, since stored patches carry the ops.
//
// Branch types: 0 16-bit conditional branch, 1 16-bit branch, 2 32-bit ARM B/BL,
// 3 32-bit wide B/BL/BLX, 4 32-bit wide conditional branch. For types 0 and 1 the bits are the
// halfword at the site, for type 2 the word, for 3 and 4 (first halfword << 16) | second.
class DisassemblerElf32ARM {
public:
    static constexpr uint32_t kArmBranchTypes = 5;

    // Decodes the branch bits at `rva`. Returns false for a type above 4.
    static bool DecodeArmBranch(uint32_t type, uint32_t bits, uint32_t rva, uint16_t* cop,
                                uint32_t* addr);
    // Rebuilds the branch bits from the op and the relative address. Returns false for a type
    // above 4.
    static bool EncodeArmBranch(uint32_t type, uint16_t cop, uint32_t addr, uint32_t* bits);
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERELF32ARM_H
