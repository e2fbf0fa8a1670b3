#ifndef VXPATCH_BYTESINK_H
#define VXPATCH_BYTESINK_H

#include "growablebuffer.h"

#include <cstddef>
#include <cstdint>

namespace vxpatch {

// Owning append-only byte buffer that the patch formats are written into. Growth and the
// failed-for-good state are those of GrowableBuffer: after an allocation failure every later
// write fails, so a writer may check only its last result. One thread at a time.
class ByteSink : public GrowableBuffer<uint8_t> {
public:
    bool Write(const void* data, size_t n);
    bool WriteVarint32(uint32_t value);
    // Same encoding as WriteVarint32; used for size fields.
    bool WriteSizeVarint32(uint32_t value);
    bool WriteVarint32Signed(int32_t value);
    // Moves all of other's bytes here; other's buffer is released only when that succeeded.
    // Fails when other is this sink or failed for good.
    bool Append(ByteSink* other);
};

} // namespace vxpatch

#endif // VXPATCH_BYTESINK_H
