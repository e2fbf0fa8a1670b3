#ifndef VXPATCH_EXECUTABLEBYTES_H
#define VXPATCH_EXECUTABLEBYTES_H

#include <cstdint>
#include <cstring>

namespace vxpatch {

// Little-endian reads of executable header fields. The caller has checked
// that the bytes lie inside the image buffer; the copies keep unaligned
// fields well defined.
inline uint16_t ReadU16(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

inline uint32_t ReadU32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint64_t ReadU64(const uint8_t* p)
{
    return uint64_t(ReadU32(p)) | (uint64_t(ReadU32(p + 4)) << 32);
}

// True when [offset, offset + size) lies inside a buffer of `length` bytes.
inline bool RangeInside(uint64_t offset, uint64_t size, uint64_t length)
{
    return offset <= length && size <= length - offset;
}

} // namespace vxpatch

#endif // VXPATCH_EXECUTABLEBYTES_H
