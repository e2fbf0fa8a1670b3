#include "vxdiff.h"

#include <algorithm>
#include <cstring>

#include "crc.h"
#include "lzmaioout.h"
#include "patchlog.h"

namespace vxpatch {
namespace {

// The three streams of a diff body, as views into the patch or a decoded block.
struct DiffStreams {
    ByteSink decoded[3];
    ByteSink packed;
    ByteSource control;
    ByteSource diff;
    ByteSource extra;
};

// Raw layout: three lengths, then the three byte ranges, each checked against what
// follows.
bool ReadRawStreams(ByteSource* body, DiffStreams* streams)
{
    uint32_t controlLength = 0;
    uint32_t diffLength = 0;
    uint32_t extraLength = 0;
    return body->ReadVarint32(&controlLength) && body->ReadVarint32(&diffLength) &&
        body->ReadVarint32(&extraLength) && body->ReadSubstream(controlLength, &streams->control) &&
        body->ReadSubstream(diffLength, &streams->diff) &&
        body->ReadSubstream(extraLength, &streams->extra);
}

bool ReadStreams(int method, ByteSource* patch, DiffStreams* streams)
{
    if (method == VXDIFF_RAW)
        return ReadRawStreams(patch, streams);
    if (method == VXDIFF_LZMA2_ALL) {
        if (!ReadLzma2Block(patch, &streams->packed))
            return false;
        ByteSource body;
        body.Init(streams->packed.data(), streams->packed.size());
        return ReadRawStreams(&body, streams);
    }
    for (ByteSink& sink : streams->decoded) {
        if (!ReadLzma2Block(patch, &sink))
            return false;
    }
    streams->control.Init(streams->decoded[0].data(), streams->decoded[0].size());
    streams->diff.Init(streams->decoded[1].data(), streams->decoded[1].size());
    streams->extra.Init(streams->decoded[2].data(), streams->decoded[2].size());
    return true;
}

// Old data made of consecutive parts; `ends` holds where each part ends in the whole.
struct OldParts {
    const uint8_t* data[kVxdiffMaxParts];
    uint64_t ends[kVxdiffMaxParts];
    uint32_t count = 0;

    uint64_t length() const { return count ? ends[count - 1] : 0; }
};

// target[i] = diff[i] + old[i] modulo 256 for n bytes, eight at a time: the low seven bits of
// each byte are added without carrying into the next, the top bit by exclusive or.
void AddBytes(const uint8_t* diff, const uint8_t* old, uint32_t n, uint8_t* target)
{
    constexpr uint64_t kLow = 0x7F7F7F7F7F7F7F7Full;
    uint32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a = 0;
        uint64_t b = 0;
        std::memcpy(&a, diff + i, 8);
        std::memcpy(&b, old + i, 8);
        const uint64_t sum = ((a & kLow) + (b & kLow)) ^ ((a ^ b) & ~kLow);
        std::memcpy(target + i, &sum, 8);
    }
    for (; i < n; ++i)
        target[i] = static_cast<uint8_t>(diff[i] + old[i]);
}

// Writes the n diff bytes plus the old bytes [position, position + n) to `target`; the range
// lies in the old data.
void AddOldBytes(const OldParts& old, uint64_t position, uint32_t n, const uint8_t* diff,
    uint8_t* target)
{
    uint32_t part = 0;
    while (n > 0) {
        while (old.ends[part] <= position)
            ++part;
        const uint64_t partStart = part ? old.ends[part - 1] : 0;
        const uint32_t inPart = uint32_t(std::min<uint64_t>(n, old.ends[part] - position));
        AddBytes(diff, old.data[part] + (position - partStart), inPart, target);
        diff += inPart;
        target += inPart;
        n -= inPart;
        position += inPart;
    }
}

// Runs the control triples. Every run is checked against the diff and extra
// streams, the old data and the promised new length before anything is copied.
bool ApplyTriples(const OldParts& old, DiffStreams* streams, ByteSink* output,
    uint32_t startSize, uint32_t newLength)
{
    const int64_t oldLength = static_cast<int64_t>(old.length());
    int64_t oldPos = 0;
    while (output->size() - startSize < newLength) {
        int32_t copy = 0;
        int32_t extra = 0;
        int32_t seek = 0;
        if (!streams->control.ReadVarint32Signed(&copy) ||
            !streams->control.ReadVarint32Signed(&extra) ||
            !streams->control.ReadVarint32Signed(&seek)) {
            LogError("Corrupt patch reading control");
            return false;
        }
        if (copy < 0 || extra < 0)
            return false;
        if (oldPos + copy < 0 || (copy > 0 && oldPos < 0))
            return false;
        if (oldPos + copy > oldLength)
            return false;
        const uint32_t produced = output->size() - startSize;
        if (static_cast<uint32_t>(copy) > newLength - produced ||
            static_cast<uint32_t>(extra) > newLength - produced - copy) {
            LogError("Corrupt patch");
            return false;
        }
        if (static_cast<uint32_t>(copy) > streams->diff.Remaining() ||
            static_cast<uint32_t>(extra) > streams->extra.Remaining()) {
            return false;
        }

        // The output holds room for the whole new length, checked against above.
        if (copy > 0) {
            AddOldBytes(old, uint64_t(oldPos), uint32_t(copy), streams->diff.current(),
                output->FreeSpace());
            output->CommitFreeSpace(uint32_t(copy));
        }
        if (!output->Write(streams->extra.current(), extra))
            return false;

        streams->diff.Skip(copy);
        streams->extra.Skip(extra);
        oldPos += static_cast<int64_t>(copy) + seek;
    }
    return true;
}


bool ApplyOver(const OldParts& old, ByteSource* patch, ByteSink* output, bool withHeader)
{
    uint32_t expectedCrc = 0;
    if (withHeader) {
        char magic[sizeof(kVxdiffMagic)];
        if (!patch->ReadBytes(magic, sizeof(magic)))
            return false;
        if (std::memcmp(magic, kVxdiffMagic, sizeof(magic)) != 0) {
            LogError("Corrupt patch header");
            return false;
        }
        if (!patch->ReadVarint32(&expectedCrc)) {
            LogError("Could not read crc");
            return false;
        }
    }
    uint8_t method = 0;
    if (!patch->ReadBytes(&method, 1))
        return false;
    if (method >= 3) {
        LogError("Invalid compression method");
        return false;
    }
    uint32_t newLength = 0;
    if (!patch->ReadVarint32(&newLength))
        return false;

    DiffStreams streams;
    if (!ReadStreams(method, patch, &streams))
        return false;

    // Every new byte comes from the diff or the extra stream, so a larger promise is
    // corrupt; refusing it here keeps a damaged length from reserving gigabytes.
    if (uint64_t(newLength) > uint64_t(streams.diff.Remaining()) + streams.extra.Remaining())
        return false;
    // One reservation for the whole result, so well-formed patches never regrow it.
    const uint32_t startSize = output->size();
    if (newLength > UINT32_MAX - startSize)
        return false;
    if (!output->Reserve(startSize + newLength))
        return false;

    if (!ApplyTriples(old, &streams, output, startSize, newLength))
        return false;
    if (withHeader && ComputeCrc(output->data() + startSize, newLength) != expectedCrc) {
        LogError("crc mismatch");
        return false;
    }
    return true;
}

} // namespace

bool ApplyVxdiffPatch(ByteSource* oldData, ByteSource* patch, ByteSink* output, bool withHeader)
{
    OldParts old;
    old.data[0] = oldData->current();
    old.ends[0] = oldData->Remaining();
    old.count = 1;
    return ApplyOver(old, patch, output, withHeader);
}

bool ApplyVxdiffPatchOverParts(
    const ByteSource* parts, uint32_t partCount, ByteSource* patch, ByteSink* output)
{
    if (partCount > kVxdiffMaxParts)
        return false;
    OldParts old;
    uint64_t end = 0;
    for (uint32_t i = 0; i < partCount; ++i) {
        end += parts[i].Remaining();
        old.data[i] = parts[i].current();
        old.ends[i] = end;
    }
    old.count = partCount;
    return ApplyOver(old, patch, output, false);
}

} // namespace vxpatch
