#ifndef VXTEST_SINKBYTES_H
#define VXTEST_SINKBYTES_H

#include "bytesink.h"

#include <cstdint>
#include <vector>

namespace vxtest {

using Bytes = std::vector<uint8_t>;

// What has been written to `sink`, as a vector to compare and keep.
inline Bytes SinkBytes(const vxpatch::ByteSink& sink)
{
    return sink.size() ? Bytes(sink.data(), sink.data() + sink.size()) : Bytes();
}

} // namespace vxtest

#endif // VXTEST_SINKBYTES_H
