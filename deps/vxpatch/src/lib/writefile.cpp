#include "writefile.h"

#include <cstdio>

namespace vxpatch {

size_t WriteFile(const std::string& path, const void* data, size_t length)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return 0;
    size_t written = length ? std::fwrite(data, 1, length, file) : 0;
    // Buffered bytes that fail to reach the disk at close were not written either.
    if (std::fclose(file) != 0)
        written = 0;
    return written;
}

} // namespace vxpatch
