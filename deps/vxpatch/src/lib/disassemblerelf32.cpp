#include "disassemblerelf32.h"

namespace vxpatch {

DisassemblerElf32::DisassemblerElf32(const uint8_t* start, uint32_t length)
    : DisassemblerElf<Elf32Layout>(start, length)
{
}

DisassemblerElf32::~DisassemblerElf32() = default;

} // namespace vxpatch
