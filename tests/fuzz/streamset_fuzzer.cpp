// Stream sets never read past their input: parse the input as a set, read a nested set from it,
// consume every stream, and write what was read back into a set that parses to the same streams.
#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void consumeAll(vxpatch::ByteSourceSet* set)
{
    for (uint32_t i = 0; i < set->count(); ++i) {
        vxpatch::ByteSource* stream = set->stream(i);
        uint32_t value = 0;
        while (stream->ReadVarint32(&value)) {
        }
        stream->Skip(stream->Remaining());
    }
    if (!set->Empty())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vxpatch::ByteSourceSet set;
    if (!set.Init(data, size))
        return 0;

    vxpatch::ByteSinkSet copy;
    copy.SetCount(set.count());
    for (uint32_t i = 0; i < set.count(); ++i) {
        const vxpatch::ByteSource* stream = set.stream(i);
        if (!copy.stream(i)->Write(stream->current(), stream->Remaining()))
            std::abort();
    }
    vxpatch::ByteSink written;
    if (!copy.CopyTo(&written))
        std::abort();
    vxpatch::ByteSourceSet reread;
    if (!reread.Init(written.data(), written.size()) || reread.count() != set.count())
        std::abort();
    for (uint32_t i = 0; i < set.count(); ++i) {
        const vxpatch::ByteSource* a = set.stream(i);
        const vxpatch::ByteSource* b = reread.stream(i);
        if (a->Remaining() != b->Remaining()
            || (a->Remaining() && std::memcmp(a->current(), b->current(), a->Remaining()) != 0))
            std::abort();
    }

    vxpatch::ByteSourceSet nested;
    if (set.ReadSet(&nested))
        consumeAll(&nested);
    consumeAll(&set);
    return 0;
}
