#include "writefile.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace vxpatch {

namespace {

constexpr size_t kPieceSize = size_t(1) << 20;

} // namespace

size_t WriteFile(const std::string& path, const void* data, size_t length)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return 0;
    const size_t written = WriteFile(fd, data, length);
    return ::close(fd) == 0 ? written : 0;
}

size_t WriteFile(int fd, const void* data, size_t length)
{
    // A stream of its own over a copy of the descriptor, which stays the caller's.
    const int own = fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::FILE* file = own < 0 ? nullptr : ::fdopen(own, "wb");
    if (!file) {
        if (own >= 0)
            ::close(own);
        return 0;
    }
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
