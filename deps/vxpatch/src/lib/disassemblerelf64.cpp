#include "disassemblerelf64.h"

namespace vxpatch {

DisassemblerElf64::DisassemblerElf64(const uint8_t* start, uint32_t length)
    : DisassemblerElf<Elf64Layout>(start, length)
{
}

DisassemblerElf64::~DisassemblerElf64() = default;

} // namespace vxpatch
