#include "disassemblerwin32x64.h"

namespace vxpatch {

DisassemblerWin32X64::DisassemblerWin32X64(const uint8_t* start, uint32_t length)
    : DisassemblerWin32(start, length, true)
{
}

DisassemblerWin32X64::~DisassemblerWin32X64() = default;

ExecutableType DisassemblerWin32X64::executableType() const
{
    return EXE_WIN_32_X64;
}

} // namespace vxpatch
