#include "bytesourceset.h"

namespace vxpatch {

bool ByteSourceSet::Init(const uint8_t* data, size_t length)
{
    ByteSource header(data, length);
    uint32_t magic = 0;
    if (!header.ReadVarint32(&magic) || magic != kMagic)
        return false;
    uint32_t count = 0;
    if (!header.ReadVarint32(&count) || count > kMaxStreams)
        return false;
    count_ = count;

    uint32_t lengths[kMaxStreams];
    uint64_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!header.ReadVarint32(&lengths[i]))
            return false;
        total += lengths[i];
    }
    if (total > 0xFFFFFFFFu || total != header.Remaining())
        return false;

    for (uint32_t i = 0; i < count; ++i) {
        if (!header.ReadSubstream(lengths[i], &streams_[i]))
            return false;
    }
    return true;
}

bool ByteSourceSet::Init(const ByteSource& source)
{
    return Init(source.current(), source.Remaining());
}

bool ByteSourceSet::ReadSet(ByteSourceSet* nested)
{
    ByteSource* header = &streams_[0];
    uint32_t count = 0;
    if (!header->ReadVarint32(&count) || count > kMaxStreams || count > count_)
        return false;
    uint32_t lengths[kMaxStreams];
    for (uint32_t i = 0; i < count; ++i) {
        if (!header->ReadVarint32(&lengths[i]))
            return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!streams_[i].ReadSubstream(lengths[i], nested->stream(i)))
            return false;
    }
    return true;
}

bool ByteSourceSet::Empty() const
{
    for (uint32_t i = 0; i < count_; ++i) {
        if (!streams_[i].Empty())
            return false;
    }
    return true;
}

} // namespace vxpatch
