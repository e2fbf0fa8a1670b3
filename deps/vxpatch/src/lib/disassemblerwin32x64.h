#ifndef VXPATCH_DISASSEMBLERWIN32X64_H
#define VXPATCH_DISASSEMBLERWIN32X64_H

#include "disassemblerwin32.h"

namespace vxpatch {

// PE32+ images (WIN_32_X64); rejects PE32. Borrows the image buffer.
class DisassemblerWin32X64 : public DisassemblerWin32 {
public:
    DisassemblerWin32X64(const uint8_t* start, uint32_t length);
    ~DisassemblerWin32X64() override;

    ExecutableType executableType() const override;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERWIN32X64_H
