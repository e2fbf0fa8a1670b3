#include "bytesource.h"

#include "bytesink.h"

#include <cstring>

namespace vxpatch {

const uint8_t* ParseVarint32(const uint8_t* begin, const uint8_t* end, uint32_t* out)
{
    uint32_t value = 0;
    const uint8_t* p = begin;
    for (int shift = 0; shift < 35; shift += 7) {
        if (p == end)
            return nullptr;
        const uint8_t byte = *p++;
        // In the fifth byte only the low four bits still fit; the rest is dropped.
        value |= static_cast<uint32_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) {
            *out = value;
            return p;
        }
    }
    return nullptr;
}

void ByteSource::Init(const uint8_t* data, size_t length)
{
    start_ = data;
    current_ = data;
    end_ = data ? data + length : data;
}

void ByteSource::Init(const ByteSink& sink)
{
    Init(sink.data(), sink.size());
}

bool ByteSource::ReadBytes(void* destination, size_t n)
{
    if (n > Remaining())
        return false;
    if (n)
        std::memcpy(destination, current_, n);
    current_ += n;
    return true;
}

bool ByteSource::ReadVarint32(uint32_t* out)
{
    const uint8_t* next = ParseVarint32(current_, end_, out);
    if (!next)
        return false;
    current_ = next;
    return true;
}

bool ByteSource::ReadVarint32Signed(int32_t* out)
{
    uint32_t raw = 0;
    if (!ReadVarint32(&raw))
        return false;
    *out = ZigzagDecode(raw);
    return true;
}

bool ByteSource::ShareSubstream(size_t offset, size_t length, ByteSource* out) const
{
    const size_t remaining = Remaining();
    if (offset > remaining || length > remaining - offset)
        return false;
    out->Init(current_ + offset, length);
    return true;
}

bool ByteSource::ReadSubstream(size_t length, ByteSource* out)
{
    if (length > Remaining())
        return false;
    out->Init(current_, length);
    current_ += length;
    return true;
}

bool ByteSource::Skip(size_t n)
{
    if (n > Remaining())
        return false;
    current_ += n;
    return true;
}

} // namespace vxpatch
