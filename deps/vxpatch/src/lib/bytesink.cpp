#include "bytesink.h"

#include "bytesource.h"

#include <utility>

namespace vxpatch {

bool ByteSink::Write(const void* data, size_t n)
{
    if (n > 0xFFFFFFFFu)
        return false;
    return AppendItems(static_cast<const uint8_t*>(data), static_cast<uint32_t>(n));
}

bool ByteSink::WriteVarint32(uint32_t value)
{
    uint8_t bytes[5];
    size_t n = 0;
    while (value >= 0x80) {
        bytes[n++] = static_cast<uint8_t>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    bytes[n++] = static_cast<uint8_t>(value);
    return Write(bytes, n);
}

bool ByteSink::WriteSizeVarint32(uint32_t value)
{
    return WriteVarint32(value);
}

bool ByteSink::WriteVarint32Signed(int32_t value)
{
    return WriteVarint32(ZigzagEncode(value));
}

bool ByteSink::Append(ByteSink* other)
{
    // A failed sink lost its bytes; moving "nothing" from it would hide that.
    if (other == this || other->IsFailed())
        return false;
    // Into an empty sink that has no more room than other, the buffer itself can move.
    if (size() == 0 && !IsFailed() && capacity() <= other->capacity()) {
        *this = std::move(*other);
        return true;
    }
    if (!Write(other->data(), other->size()))
        return false;
    other->Release();
    return true;
}

} // namespace vxpatch
