#ifndef VXPATCH_LZMAIOOUT_H
#define VXPATCH_LZMAIOOUT_H

#include <cstddef>
#include <cstdint>
#include <functional>

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

// Reads the property byte and the unpacked size of the block at the source's cursor without
// moving it; *headerLength receives their length. Logs nothing.
bool PeekLzma2BlockHeader(const ByteSource& source, uint8_t* property, uint32_t* unpacked,
                          size_t* headerLength);

// The most a payload of `inputLength` bytes can decode to; a larger unpacked size is corrupt.
uint64_t Lzma2OutputLimit(size_t inputLength);

// Decodes the payload that follows such a header, [in, in + inSize), piece by piece through
// `window`: the first piece holds `firstPiece` bytes (a whole window when 0), every later one
// `windowSize` bytes, the last what is left. Each piece is handed to `deliver(offset, length)`
// while it lies in window[0, length), `offset` counting the bytes before it; `deliver` may stop
// the decoding by returning false. True when the payload decoded to exactly `unpacked` bytes;
// *consumed then receives its length. With `windowIsOutput`, `window` holds room for all
// `unpacked` bytes and each piece is decoded in its place there, window[offset, offset + length).
// Logs nothing: a caller that needs the reason of a failure decodes the block again with
// ReadLzma2Block.
bool DecodeLzma2Payload(uint8_t property, uint32_t unpacked, const uint8_t* in, size_t inSize,
                        uint8_t* window, uint32_t windowSize, uint32_t firstPiece,
                        const std::function<bool(uint32_t, uint32_t)>& deliver, size_t* consumed,
                        bool windowIsOutput = false);
// Appends one block holding all remaining bytes of the source (level 9); the cursor moves past
// the bytes consumed.
bool CompressStreamLzma2(ByteSource* source, ByteSink* sink);

// Appends one block holding the memory block (level 9).
bool CompressBufferLzma2(const uint8_t* data, size_t length, ByteSink* sink);

} // namespace vxpatch

#endif // VXPATCH_LZMAIOOUT_H
