#include "vxdiff.h"

#include <algorithm>
#include <cstring>

#include "backgroundprefault.h"
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

// Writes the n diff bytes plus the old bytes [position, position + n) to `target`, or the old
// bytes alone when `diff` is null (a diff of zeros); the range lies in the old data.
void AddOldBytes(const OldParts& old, uint64_t position, uint32_t n, const uint8_t* diff,
    uint8_t* target)
{
    uint32_t part = 0;
    while (n > 0) {
        while (old.ends[part] <= position)
            ++part;
        const uint64_t partStart = part ? old.ends[part - 1] : 0;
        const uint32_t inPart = uint32_t(std::min<uint64_t>(n, old.ends[part] - position));
        const uint8_t* from = old.data[part] + (position - partStart);
        if (diff) {
            AddBytes(diff, from, inPart, target);
            diff += inPart;
        } else {
            std::memcpy(target, from, inPart);
        }
        target += inPart;
        n -= inPart;
        position += inPart;
    }
}

// One control triple placed in the streams: `copy` diff bytes added to the old bytes from
// `oldPos`, then `extra` bytes taken as they are, written from `outOffset` of the new bytes.
struct Run {
    uint32_t copy = 0;
    uint32_t extra = 0;
    uint64_t oldPos = 0;
    uint32_t outOffset = 0;
    uint32_t diffOffset = 0;
    uint32_t extraOffset = 0;
};

// Reads the control triples in order. Every run is checked against the diff and extra
// streams, the old data and the promised new length before it is handed out, so a caller
// may copy it without further checks.
class RunReader {
public:
    RunReader(const OldParts& old, ByteSource control, uint32_t diffLength, uint32_t extraLength,
        uint32_t newLength)
        : oldLength_(int64_t(old.length())), control_(control), diffLength_(diffLength),
          extraLength_(extraLength), newLength_(newLength)
    {
    }

    bool Done() const { return produced_ >= newLength_; }

    bool Next(Run* run)
    {
        int32_t copy = 0;
        int32_t extra = 0;
        int32_t seek = 0;
        if (!control_.ReadVarint32Signed(&copy) || !control_.ReadVarint32Signed(&extra) ||
            !control_.ReadVarint32Signed(&seek)) {
            LogError("Corrupt patch reading control");
            return false;
        }
        if (copy < 0 || extra < 0)
            return false;
        if (oldPos_ + copy < 0 || (copy > 0 && oldPos_ < 0))
            return false;
        if (oldPos_ + copy > oldLength_)
            return false;
        if (static_cast<uint32_t>(copy) > newLength_ - produced_ ||
            static_cast<uint32_t>(extra) > newLength_ - produced_ - copy) {
            LogError("Corrupt patch");
            return false;
        }
        if (static_cast<uint32_t>(copy) > diffLength_ - diffUsed_ ||
            static_cast<uint32_t>(extra) > extraLength_ - extraUsed_) {
            return false;
        }
        run->copy = uint32_t(copy);
        run->extra = uint32_t(extra);
        run->oldPos = uint64_t(copy > 0 ? oldPos_ : 0);
        run->outOffset = produced_;
        run->diffOffset = diffUsed_;
        run->extraOffset = extraUsed_;
        produced_ += run->copy + run->extra;
        diffUsed_ += run->copy;
        extraUsed_ += run->extra;
        oldPos_ += static_cast<int64_t>(copy) + seek;
        return true;
    }

private:
    int64_t oldLength_;
    ByteSource control_;
    uint32_t diffLength_;
    uint32_t extraLength_;
    uint32_t newLength_;
    uint32_t produced_ = 0;
    uint32_t diffUsed_ = 0;
    uint32_t extraUsed_ = 0;
    int64_t oldPos_ = 0;
};

// Runs the control triples into the output's free space, which holds the whole new length.
bool ApplyTriples(const OldParts& old, const DiffStreams& streams, uint8_t* target,
    uint32_t newLength)
{
    RunReader runs(old, streams.control, uint32_t(streams.diff.Remaining()),
        uint32_t(streams.extra.Remaining()), newLength);
    while (!runs.Done()) {
        Run run;
        if (!runs.Next(&run))
            return false;
        if (run.copy > 0) {
            AddOldBytes(old, run.oldPos, run.copy, streams.diff.current() + run.diffOffset,
                target + run.outOffset);
        }
        if (run.extra > 0) {
            std::memcpy(target + run.outOffset + run.copy,
                streams.extra.current() + run.extraOffset, run.extra);
        }
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

    if (!ApplyTriples(old, streams, output->FreeSpace(), newLength))
        return false;
    output->CommitFreeSpace(newLength);
    if (withHeader && ComputeCrc(output->data() + startSize, newLength) != expectedCrc) {
        LogError("crc mismatch");
        return false;
    }
    return true;
}

// The copies of every run, taken from the diff bytes as they are decoded.
bool AddAsDecoded(const OldParts& old, const DiffStreams& streams, RunReader runs,
    DecodingPatch* decoding, uint8_t* target)
{
    // Used bytes are handed back in steps of this many, so that few calls cover a long diff.
    constexpr uintptr_t kReleaseStep = uintptr_t(4) << 20;
    const uint8_t* decodedEnd = streams.control.end();
    const uint8_t* unreleased = streams.diff.current();
    while (!runs.Done()) {
        Run run;
        if (!runs.Next(&run))
            return false;
        const uint8_t* diff = streams.diff.current() + run.diffOffset;
        uint8_t* out = target + run.outOffset;
        uint64_t oldPos = run.oldPos;
        uint32_t left = run.copy;
        while (left > 0) {
            if (uintptr_t(diff - unreleased) >= kReleaseStep) {
                decoding->Consumed(unreleased, diff);
                unreleased = diff;
            }
            if (diff >= decodedEnd) {
                decodedEnd = decoding->WaitFor(diff + 1);
                if (!decodedEnd)
                    return false;
            }
            const size_t wanted =
                std::min<uintptr_t>({left, uintptr_t(decodedEnd - diff), kReleaseStep});
            bool zeros = false;
            const size_t length = decoding->ZeroRun(diff, wanted, &zeros);
            if (length == 0 || length > wanted)
                return false;
            const uint32_t n = uint32_t(length);
            AddOldBytes(old, oldPos, n, zeros ? nullptr : diff, out);
            diff += n;
            out += n;
            oldPos += n;
            left -= n;
        }
    }
    decoding->Consumed(unreleased, streams.diff.end());
    return true;
}

// The extra bytes of every run, which follow all the diff bytes.
bool CopyExtraAsDecoded(const DiffStreams& streams, RunReader runs, DecodingPatch* decoding,
    uint8_t* target)
{
    while (!runs.Done()) {
        Run run;
        if (!runs.Next(&run))
            return false;
        const uint8_t* extra = streams.extra.current() + run.extraOffset;
        if (run.extra > 0 && !decoding->WaitFor(extra + run.extra))
            return false;
        std::memcpy(target + run.outOffset + run.copy, extra, run.extra);
    }
    decoding->Consumed(streams.extra.current(), streams.extra.end());
    return true;
}

bool ApplyOverAsDecoded(
    const OldParts& old, ByteSource* patch, DecodingPatch* decoding, ByteSink* output)
{
    // The method, the new length and the three stream lengths take at most this many bytes.
    constexpr size_t kLongestHeader = 1 + 4 * 5;
    if (!decoding->WaitFor(patch->current() + std::min(patch->Remaining(), kLongestHeader)))
        return false;
    ByteSource cursor = *patch;
    uint8_t method = 0;
    if (!cursor.ReadBytes(&method, 1) || method != VXDIFF_RAW) {
        if (!decoding->WaitFor(patch->end()))
            return false;
        return ApplyOver(old, patch, output, false);
    }
    uint32_t newLength = 0;
    DiffStreams streams;
    if (!cursor.ReadVarint32(&newLength) || !ReadRawStreams(&cursor, &streams))
        return false;
    *patch = cursor;
    if (uint64_t(newLength) > uint64_t(streams.diff.Remaining()) + streams.extra.Remaining())
        return false;
    const uint32_t startSize = output->size();
    if (newLength > UINT32_MAX - startSize || !output->Reserve(startSize + newLength))
        return false;
    if (!decoding->WaitFor(streams.control.end()))
        return false;

    // Every run is checked before any is applied, so that the copies below cannot fail on a
    // run, only on bytes that do not decode.
    const RunReader runs(old, streams.control, uint32_t(streams.diff.Remaining()),
        uint32_t(streams.extra.Remaining()), newLength);
    RunReader check = runs;
    while (!check.Done()) {
        Run run;
        if (!check.Next(&run))
            return false;
    }
    // The runs cover the whole new length.
    BackgroundPrefault prefault(output->FreeSpace(), newLength);
    if (!AddAsDecoded(old, streams, runs, decoding, output->FreeSpace()) ||
        !CopyExtraAsDecoded(streams, runs, decoding, output->FreeSpace()))
        return false;
    output->CommitFreeSpace(newLength);
    return true;
}

bool GatherParts(const ByteSource* parts, uint32_t partCount, OldParts* old)
{
    if (partCount > kVxdiffMaxParts)
        return false;
    uint64_t end = 0;
    for (uint32_t i = 0; i < partCount; ++i) {
        end += parts[i].Remaining();
        old->data[i] = parts[i].current();
        old->ends[i] = end;
    }
    old->count = partCount;
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
    OldParts old;
    if (!GatherParts(parts, partCount, &old))
        return false;
    return ApplyOver(old, patch, output, false);
}

bool ApplyVxdiffPatchOverPartsAsDecoded(const ByteSource* parts, uint32_t partCount,
    ByteSource* patch, DecodingPatch* decoding, ByteSink* output)
{
    OldParts old;
    if (!GatherParts(parts, partCount, &old))
        return false;
    return ApplyOverAsDecoded(old, patch, decoding, output);
}

} // namespace vxpatch
