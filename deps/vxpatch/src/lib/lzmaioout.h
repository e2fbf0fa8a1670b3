#ifndef VXPATCH_LZMAIOOUT_H
#define VXPATCH_LZMAIOOUT_H

#include <cstddef>
#include <cstdint>

namespace vxpatch {

class ByteSink;
class ByteSource;

// LZMA2 block, the compressed unit of the package, patch and diff formats:
//   byte 0   LZMA2 dictionary property byte
//   varint   unpacked size (the exact number of bytes the block decodes to)
//   ...      raw LZMA2 chunk stream with its end marker; its length is not stored.
// Errors go to the log at level ERROR. The functions keep no state and may run on any thread.

// Decodes the block at the source's cursor and appends its bytes to the sink, which is grown
// once to its final size. On success the cursor stands right after the block; on failure the
// cursor and the sink's size are unchanged.
bool ReadLzma2Block(ByteSource* source, ByteSink* sink);

// Appends one block holding all remaining bytes of the source (level 9); the cursor moves past
// the bytes consumed.
bool CompressStreamLzma2(ByteSource* source, ByteSink* sink);

// Appends one block holding the memory block (level 9).
bool CompressBufferLzma2(const uint8_t* data, size_t length, ByteSink* sink);

} // namespace vxpatch

#endif // VXPATCH_LZMAIOOUT_H
