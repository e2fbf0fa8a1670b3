#include "disassembler.h"

namespace vxpatch {

Disassembler::Disassembler(const void* start, uint32_t length)
    : start_(static_cast<const uint8_t*>(start))
    , length_(length)
    , end_(static_cast<const uint8_t*>(start) + length)
{
}

bool Disassembler::Accept()
{
    reason_ = nullptr;
    return true;
}

bool Disassembler::Reject(const char* reason)
{
    reason_ = reason;
    return false;
}

void Disassembler::ClipLength(uint32_t n)
{
    if (length_ > n)
        length_ = n;
}

} // namespace vxpatch
