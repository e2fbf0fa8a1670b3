#ifndef VXPATCH_DISASSEMBLERELF64_H
#define VXPATCH_DISASSEMBLERELF64_H

#include "disassemblerelf.h"

namespace vxpatch {

// Base of the 64-bit ELF disassemblers; the variants add the machine rules.
class DisassemblerElf64 : public DisassemblerElf<Elf64Layout> {
public:
    DisassemblerElf64(const uint8_t* start, uint32_t length);
    ~DisassemblerElf64() override;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERELF64_H
