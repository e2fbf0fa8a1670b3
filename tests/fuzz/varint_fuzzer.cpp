// Varints never read past their input, and every value decoded re-encodes in shortest form to a
// varint that decodes to the same value.
#include "bytesink.h"
#include "bytesource.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vxpatch::ByteSource source(data, size);
    while (!source.Empty()) {
        const uint8_t* before = source.current();
        int32_t signedValue = 0;
        if (!source.ReadVarint32Signed(&signedValue)) {
            if (source.current() != before)
                std::abort();
            source.Skip(1);
            continue;
        }
        const size_t used = static_cast<size_t>(source.current() - before);
        if (used == 0 || used > 5)
            std::abort();

        vxpatch::ByteSink sink;
        uint32_t raw = 0;
        int32_t again = 0;
        vxpatch::ByteSource rawSource(before, used);
        if (!rawSource.ReadVarint32(&raw) || !sink.WriteVarint32Signed(signedValue)
            || sink.size() > used || vxpatch::ZigzagEncode(signedValue) != raw)
            std::abort();
        vxpatch::ByteSource written;
        written.Init(sink);
        if (!written.ReadVarint32Signed(&again) || again != signedValue || !written.Empty())
            std::abort();
    }
    return 0;
}
