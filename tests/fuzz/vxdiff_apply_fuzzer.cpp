// The diff applier never reads outside its patch, its decoded streams or the old data,
// and never produces more than the new length the patch announces. Input layout: one
// byte of flags (bit 0: header), two bytes of old length, the old bytes, then the patch.
#include "bytesink.h"
#include "bytesource.h"
#include "vxdiff.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Larger announced sizes only cost the fuzzer memory.
constexpr uint32_t kMaxNewLength = 16u << 20;

uint32_t AnnouncedLength(const uint8_t* patch, size_t size, bool withHeader)
{
    vxpatch::ByteSource source(patch, size);
    uint32_t value = 0;
    uint8_t method = 0;
    if (withHeader && !(source.Skip(8) && source.ReadVarint32(&value)))
        return 0;
    if (!source.ReadBytes(&method, 1) || !source.ReadVarint32(&value))
        return 0;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    const bool withHeader = data[0] & 1;
    size_t oldLength = data[1] | (size_t(data[2]) << 8);
    data += 3;
    size -= 3;
    if (oldLength > size)
        oldLength = size;
    // Copies on the heap, sized exactly, so that any overread trips the sanitizer.
    std::vector<uint8_t> old(data, data + oldLength);
    std::vector<uint8_t> patch(data + oldLength, data + size);
    const uint32_t announced = AnnouncedLength(patch.data(), patch.size(), withHeader);
    if (announced > kMaxNewLength)
        return 0;

    vxpatch::ByteSource oldSource(old.data(), old.size());
    vxpatch::ByteSource patchSource(patch.data(), patch.size());
    vxpatch::ByteSink output;
    const bool ok = vxpatch::ApplyVxdiffPatch(&oldSource, &patchSource, &output, withHeader);
    if (output.size() > announced || (ok && output.size() != announced))
        abort();
    return 0;
}
