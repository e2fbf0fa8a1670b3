#ifndef VXPATCH_VXDIFF_H
#define VXPATCH_VXDIFF_H

#include "bytesink.h"
#include "bytesource.h"

namespace vxpatch {

// Layouts of the diff body after the method byte.
enum VxdiffMethod {
    VXDIFF_RAW = 0, // three lengths, then the three streams uncompressed
    VXDIFF_LZMA2_EACH = 1, // the three streams as three LZMA2 blocks
    VXDIFF_LZMA2_ALL = 2, // the raw layout inside one LZMA2 block
};

// First bytes of a diff written with its header.
constexpr char kVxdiffMagic[8] = {'V', 'X', 'D', 'I', 'F', 'F', '1', '0'};

// Rebuilds the new bytes from the remaining bytes of `oldData` and the diff read
// from `patch`, appending them to `output` (expected empty). With `withHeader` the
// patch starts with "VXDIFF10" and the checksum of the result, which is verified.
// Returns false on any malformed, truncated or out-of-range patch; whatever was
// appended by then is left in `output` for the caller to discard.
bool ApplyVxdiffPatch(ByteSource* oldData, ByteSource* patch, ByteSink* output, bool withHeader);

// The same without header, over old data that is the concatenation of the remaining bytes of
// `parts` (at most kVxdiffMaxParts), so that a caller whose old data is made of pieces need not
// copy them into one buffer.
constexpr uint32_t kVxdiffMaxParts = 16;
bool ApplyVxdiffPatchOverParts(
    const ByteSource* parts, uint32_t partCount, ByteSource* patch, ByteSink* output);

// A patch whose bytes are still being decoded into memory, front to back.
class DecodingPatch {
public:
    virtual ~DecodingPatch() = default;
    // Waits until the bytes before `needed` are decoded; returns the end of all the bytes decoded
    // by then (at least `needed`), or nullptr when they never will be.
    virtual const uint8_t* WaitFor(const uint8_t* needed) = 0;
    // The bytes in [begin, end) are not read again.
    virtual void Consumed(const uint8_t* begin, const uint8_t* end) = 0;
    // For decoded bytes: the length (1 to n) of the run from `at` that is known to be all zeros,
    // *zeros then true, or of the run before the next such bytes, *zeros then false. Known zeros
    // need not be read.
    virtual size_t ZeroRun(const uint8_t* at, size_t n, bool* zeros)
    {
        (void)at;
        *zeros = false;
        return n;
    }
};

// ApplyVxdiffPatchOverParts for a patch that `decoding` is still decoding. A raw diff is
// applied as its bytes arrive and handed back once used, so that the decoded diff never needs
// to be held whole; the other layouts are applied once decoded. Same verdict and result.
bool ApplyVxdiffPatchOverPartsAsDecoded(const ByteSource* parts, uint32_t partCount,
    ByteSource* patch, DecodingPatch* decoding, ByteSink* output);

// Writes a diff from the remaining bytes of `oldData` to those of `newData` into
// `output`, in layout `method` (0 to 2), consuming both sources. Returns false
// when a source cannot be consumed or a write or compression fails.
bool MakeVxdiffPatch(
    ByteSource* oldData, ByteSource* newData, ByteSink* output, bool withHeader, int method);

} // namespace vxpatch

#endif // VXPATCH_VXDIFF_H
