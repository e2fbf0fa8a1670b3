#include "crc.h"

#include <zlib.h>

namespace vxpatch {

uint32_t ComputeCrc(const uint8_t* data, uint32_t size)
{
    // zlib's crc32 takes at most UINT_MAX bytes per call, which covers every 32-bit size.
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), size ? data : Z_NULL, size);
    return ~static_cast<uint32_t>(crc);
}

} // namespace vxpatch
