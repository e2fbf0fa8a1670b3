#ifndef VXPATCH_DISASSEMBLERELF32_H
#define VXPATCH_DISASSEMBLERELF32_H

#include "disassemblerelf.h"

namespace vxpatch {

// Base of the 32-bit ELF disassemblers; the variants add the machine rules.
class DisassemblerElf32 : public DisassemblerElf<Elf32Layout> {
public:
    DisassemblerElf32(const uint8_t* start, uint32_t length);
    ~DisassemblerElf32() override;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERELF32_H
