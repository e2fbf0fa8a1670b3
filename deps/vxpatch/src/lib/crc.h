#ifndef VXPATCH_CRC_H
#define VXPATCH_CRC_H

#include <cstdint>

namespace vxpatch {

// Checksum stored in patches and containers: the reflected CRC-32 (polynomial 0xEDB88320,
// register preset to all ones) without its final complement, i.e. the complement of the usual
// zip/gzip CRC-32. The empty input gives 0xFFFFFFFF, "abc" gives 0xCADBBE3D. Thread-safe.
uint32_t ComputeCrc(const uint8_t* data, uint32_t size);

} // namespace vxpatch

#endif // VXPATCH_CRC_H
