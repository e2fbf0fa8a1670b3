#include "crc.h"

#include <zlib.h>

#include <algorithm>
#include <system_error>
#include <thread>

namespace vxpatch {

namespace {

// Inputs at least this long are split over threads: a whole old or new file is checked once at
// each end of an application, and one core takes tens of milliseconds per hundred megabytes.
constexpr uint32_t kSplitSize = uint32_t(16) << 20;
constexpr uint32_t kMaxPieces = 4;

uLong PlainCrc(const uint8_t* data, uint32_t size)
{
    // zlib's crc32 takes at most UINT_MAX bytes per call, which covers every 32-bit size.
    return crc32(crc32(0L, Z_NULL, 0), size ? data : Z_NULL, size);
}

// The pieces' checksums are joined in order; a piece whose thread cannot start is done here.
uLong SplitCrc(const uint8_t* data, uint32_t size, uint32_t pieces)
{
    const uint32_t pieceSize = size / pieces;
    uLong crcs[kMaxPieces] = {};
    std::thread threads[kMaxPieces];
    for (uint32_t i = 1; i < pieces; ++i) {
        const uint8_t* begin = data + size_t(i) * pieceSize;
        const uint32_t length = i + 1 == pieces ? size - i * pieceSize : pieceSize;
        try {
            threads[i] = std::thread([&crcs, i, begin, length] { crcs[i] = PlainCrc(begin, length); });
        } catch (const std::system_error&) {
            crcs[i] = PlainCrc(begin, length);
        }
    }
    crcs[0] = PlainCrc(data, pieceSize);
    uLong crc = crcs[0];
    for (uint32_t i = 1; i < pieces; ++i) {
        if (threads[i].joinable())
            threads[i].join();
        const uint32_t length = i + 1 == pieces ? size - i * pieceSize : pieceSize;
        crc = crc32_combine(crc, crcs[i], z_off_t(length));
    }
    return crc;
}

} // namespace

uint32_t ComputeCrc(const uint8_t* data, uint32_t size)
{
    const uint32_t cores = std::thread::hardware_concurrency();
    const uint32_t pieces = std::min({kMaxPieces, size / kSplitSize, cores ? cores : 1u});
    const uLong crc = pieces > 1 ? SplitCrc(data, size, pieces) : PlainCrc(data, size);
    return ~static_cast<uint32_t>(crc);
}

} // namespace vxpatch
