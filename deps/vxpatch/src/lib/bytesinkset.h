#ifndef VXPATCH_BYTESINKSET_H
#define VXPATCH_BYTESINKSET_H

#include "bytesink.h"

#include <cstdint>

namespace vxpatch {

// Up to kMaxStreams sinks written out together as one stream set (see ByteSourceSet for the
// format). The set owns its sinks; copying a stream out releases it. One thread at a time.
class ByteSinkSet {
public:
    static constexpr uint32_t kMaxStreams = 10;
    static constexpr uint32_t kMagic = 20090218;

    ByteSinkSet() = default;
    ByteSinkSet(const ByteSinkSet&) = delete;
    ByteSinkSet& operator=(const ByteSinkSet&) = delete;

    // Number of streams written by CopyTo; at most kMaxStreams.
    void SetCount(uint32_t n);
    uint32_t count() const { return count_; }
    ByteSink* stream(uint32_t i) { return &streams_[i]; }

    // Appends the whole set to destination, growing it once; each stream is released as soon
    // as it has been copied. Fails on a failed stream or a failed write.
    bool CopyTo(ByteSink* destination);

    // Writes what CopyTo writes in front of the streams into `header`, and the size of the whole
    // serialised set into *total. Fails on a failed stream or a failed write.
    bool WriteHeader(ByteSink* header, uint64_t* total);

    // Appends nested's streams up to its last non-empty one into this set's streams, with their
    // count and sizes written to stream 0 first; nested's streams are released as they move.
    bool WriteSet(ByteSinkSet* nested);

private:
    uint32_t count_ = kMaxStreams;
    ByteSink streams_[kMaxStreams];
};

} // namespace vxpatch

#endif // VXPATCH_BYTESINKSET_H
