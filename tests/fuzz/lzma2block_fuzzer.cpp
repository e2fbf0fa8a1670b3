// LZMA2 blocks never read past their input: a failed read leaves the cursor and the sink's size
// as they were, a successful one appends exactly the stored size and stays inside the input.
#include "bytesink.h"
#include "bytesource.h"
#include "lzmaioout.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Larger stored sizes only cost the fuzzer memory; the size check itself is covered by tests.
constexpr uint32_t kMaxUnpacked = 16u << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vxpatch::ByteSource source(data, size);
    vxpatch::ByteSink sink;
    if (!sink.Write("x", 1))
        return 0;
    while (!source.Empty()) {
        vxpatch::ByteSource peek = source;
        uint8_t property = 0;
        uint32_t unpacked = 0;
        if (peek.ReadBytes(&property, 1) && peek.ReadVarint32(&unpacked) && unpacked > kMaxUnpacked)
            return 0;

        const vxpatch::ByteSource before = source;
        const uint32_t sizeBefore = sink.size();
        if (!vxpatch::ReadLzma2Block(&source, &sink)) {
            if (source.current() != before.current() || sink.size() != sizeBefore)
                std::abort();
            return 0;
        }
        if (source.current() <= before.current() || source.current() > before.end()
            || sink.size() != sizeBefore + unpacked)
            std::abort();
    }
    return 0;
}
