// The container reader never crashes on damaged input and writes its output file only
// when it succeeds. The fuzz input is the container file.
#include "lzmafile.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const std::string& WorkDir()
{
    static const std::string dir = [] {
        char pattern[] = "/tmp/lzmafile_fuzz_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made)
            abort();
        return std::string(made);
    }();
    return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input = WorkDir() + "/in";
    const std::string output = WorkDir() + "/out";
    FILE* file = std::fopen(input.c_str(), "wb");
    if (!file)
        return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    std::fclose(file);
    if (!written)
        return 0;
    std::remove(output.c_str());
    const bool ok = vxpatch::UnpackLzmaFile(input, output);
    if (ok != (access(output.c_str(), F_OK) == 0))
        abort();
    return 0;
}
