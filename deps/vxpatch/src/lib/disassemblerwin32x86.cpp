#include "disassemblerwin32x86.h"

namespace vxpatch {

DisassemblerWin32X86::DisassemblerWin32X86(const uint8_t* start, uint32_t length)
    : DisassemblerWin32(start, length, false)
{
}

DisassemblerWin32X86::~DisassemblerWin32X86() = default;

ExecutableType DisassemblerWin32X86::executableType() const
{
    return EXE_WIN_32_X86;
}

} // namespace vxpatch
