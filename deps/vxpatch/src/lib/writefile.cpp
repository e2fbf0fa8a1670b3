#include "writefile.h"

#include <algorithm>
#include <cstdio>

namespace vxpatch {

namespace {

constexpr size_t kPieceSize = size_t(1) << 20;

} // namespace

size_t WriteFile(const std::string& path, const void* data, size_t length)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return 0;
    // In pieces of a megabyte: the kernel takes a large file several times faster that way than
    // in one call of its whole length.
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t written = 0;
    while (written < length) {
        const size_t piece = std::min(length - written, kPieceSize);
        const size_t put = std::fwrite(bytes + written, 1, piece, file);
        written += put;
        if (put != piece)
            break;
    }
    // Buffered bytes that fail to reach the disk at close were not written either.
    if (std::fclose(file) != 0)
        written = 0;
    return written;
}

} // namespace vxpatch
