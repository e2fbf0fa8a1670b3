#ifndef VXPATCH_BYTESOURCESET_H
#define VXPATCH_BYTESOURCESET_H

#include "bytesource.h"

#include <cstddef>
#include <cstdint>

namespace vxpatch {

// Up to kMaxStreams streams read from one stream-set buffer:
//   magic varint 20090218 (EA 9A CA 09), count varint N (0..10), N length varints,
//   then the N streams back to back.
// The streams are views into that buffer, which must outlive the set. One thread at a time.
class ByteSourceSet {
public:
    static constexpr uint32_t kMaxStreams = 10;
    static constexpr uint32_t kMagic = 20090218;

    ByteSourceSet() = default;

    // Parses one stream set filling the whole buffer exactly. Fails on any deviation.
    bool Init(const uint8_t* data, size_t length);
    // The same over the source's remaining bytes; the source's cursor does not move.
    bool Init(const ByteSource& source);

    ByteSource* stream(uint32_t i) { return &streams_[i]; }
    uint32_t count() const { return count_; }

    // Reads a nested set written by ByteSinkSet::WriteSet: the count and lengths come from
    // stream 0, then nested stream i is cut from this set's stream i.
    bool ReadSet(ByteSourceSet* nested);

    // True when each of the first count() streams has been read to its end.
    bool Empty() const;

private:
    uint32_t count_ = kMaxStreams;
    ByteSource streams_[kMaxStreams];
};

} // namespace vxpatch

#endif // VXPATCH_BYTESOURCESET_H
