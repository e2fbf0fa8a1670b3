#include "bytesinkset.h"

#include <cassert>

namespace vxpatch {

void ByteSinkSet::SetCount(uint32_t n)
{
    assert(n <= kMaxStreams);
    count_ = n <= kMaxStreams ? n : kMaxStreams;
}

bool ByteSinkSet::WriteHeader(ByteSink* header, uint64_t* total)
{
    *total = 0;
    bool ok = header->WriteVarint32(kMagic) && header->WriteVarint32(count_);
    for (uint32_t i = 0; ok && i < count_; ++i) {
        // A stream that failed for good has lost its bytes; writing it as empty would hide that.
        ok = !streams_[i].IsFailed() && header->WriteSizeVarint32(streams_[i].size());
        *total += streams_[i].size();
    }
    *total += header->size();
    return ok;
}

bool ByteSinkSet::CopyTo(ByteSink* destination)
{
    ByteSink header;
    uint64_t total = 0;
    if (!WriteHeader(&header, &total))
        return false;

    total += destination->size();
    if (total > 0xFFFFFFFFu || !destination->Reserve(static_cast<uint32_t>(total)))
        return false;
    if (!destination->Append(&header))
        return false;
    for (uint32_t i = 0; i < count_; ++i) {
        if (!destination->Append(&streams_[i]))
            return false;
    }
    return true;
}

bool ByteSinkSet::WriteSet(ByteSinkSet* nested)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < kMaxStreams; ++i) {
        // A failed stream lost its bytes; see CopyTo.
        if (nested->stream(i)->IsFailed())
            return false;
        if (nested->stream(i)->size() != 0)
            n = i + 1;
    }
    ByteSink* header = &streams_[0];
    const uint8_t countByte = static_cast<uint8_t>(n);
    if (!header->Write(&countByte, 1))
        return false;
    for (uint32_t i = 0; i < n; ++i) {
        if (!header->WriteSizeVarint32(nested->stream(i)->size()))
            return false;
    }
    for (uint32_t i = 0; i < n; ++i) {
        if (!streams_[i].Append(nested->stream(i)))
            return false;
    }
    return true;
}

} // namespace vxpatch
