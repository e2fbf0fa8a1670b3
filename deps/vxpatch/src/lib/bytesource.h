#ifndef VXPATCH_BYTESOURCE_H
#define VXPATCH_BYTESOURCE_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

class ByteSink;

// Decodes one unsigned varint (LEB128, at most 5 bytes) from [begin, end).
// Returns the position after it, or null when the range ends first or a fifth byte continues.
const uint8_t* ParseVarint32(const uint8_t* begin, const uint8_t* end, uint32_t* out);

// Zigzag mapping of signed values: 0, -1, 1, -2 ... become 0, 1, 2, 3 ...
inline uint32_t ZigzagEncode(int32_t value)
{
    return (static_cast<uint32_t>(value) << 1) ^ static_cast<uint32_t>(value >> 31);
}

inline int32_t ZigzagDecode(uint32_t value)
{
    return static_cast<int32_t>((value >> 1) ^ (0u - (value & 1u)));
}

// Read cursor over borrowed bytes [start, end); the memory must outlive the source and every
// substream shared from it. Failed reads leave the cursor where it was. One thread at a time.
class ByteSource {
public:
    ByteSource() = default;
    ByteSource(const uint8_t* data, size_t length) { Init(data, length); }

    void Init(const uint8_t* data, size_t length);
    // Reads back the bytes written to a sink so far.
    void Init(const ByteSink& sink);

    bool ReadBytes(void* destination, size_t n);
    bool ReadVarint32(uint32_t* out);
    bool ReadVarint32Signed(int32_t* out);
    // A view of `length` bytes at `offset` from the cursor; the cursor does not move.
    bool ShareSubstream(size_t offset, size_t length, ByteSource* out) const;
    // A view of the next `length` bytes; the cursor moves past them.
    bool ReadSubstream(size_t length, ByteSource* out);
    bool Skip(size_t n);

    const uint8_t* start() const { return start_; }
    const uint8_t* current() const { return current_; }
    const uint8_t* end() const { return end_; }
    size_t Remaining() const { return static_cast<size_t>(end_ - current_); }
    bool Empty() const { return current_ == end_; }

private:
    const uint8_t* start_ = nullptr;
    const uint8_t* end_ = nullptr;
    const uint8_t* current_ = nullptr;
};

} // namespace vxpatch

#endif // VXPATCH_BYTESOURCE_H
