#include "vxdiff.h"

#include "crc.h"
#include "patchlogcapture.h"
#include "sinkbytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

namespace {

using vxtest::Bytes;
using vxtest::SinkBytes;

Bytes MakePatch(const Bytes& oldBytes, const Bytes& newBytes, bool withHeader, int method)
{
    vxpatch::ByteSource oldSource(oldBytes.data(), oldBytes.size());
    vxpatch::ByteSource newSource(newBytes.data(), newBytes.size());
    vxpatch::ByteSink patch;
    EXPECT_TRUE(vxpatch::MakeVxdiffPatch(&oldSource, &newSource, &patch, withHeader, method));
    EXPECT_EQ(0u, oldSource.Remaining());
    EXPECT_EQ(0u, newSource.Remaining());
    return SinkBytes(patch);
}

// Applies `patch` to `oldBytes`; the result goes to *out. Returns the applier's result.
bool Apply(const Bytes& oldBytes, const Bytes& patch, bool withHeader, Bytes* out)
{
    vxpatch::ByteSource oldSource(oldBytes.data(), oldBytes.size());
    vxpatch::ByteSource patchSource(patch.data(), patch.size());
    vxpatch::ByteSink output;
    const bool ok = vxpatch::ApplyVxdiffPatch(&oldSource, &patchSource, &output, withHeader);
    *out = SinkBytes(output);
    return ok;
}

// Compression at level 9 is costly under the sanitizers, so most cases check the raw
// layout and a few also the compressed ones.
void ExpectRoundTrip(const Bytes& oldBytes, const Bytes& newBytes, const std::string& label,
    std::initializer_list<int> methods = {0})
{
    for (int method : methods) {
        for (bool withHeader : {false, true}) {
            if (method != 0 && withHeader)
                continue;
            SCOPED_TRACE(label + ", method " + std::to_string(method) +
                (withHeader ? ", header" : ", no header"));
            const Bytes patch = MakePatch(oldBytes, newBytes, withHeader, method);
            Bytes rebuilt;
            ASSERT_TRUE(Apply(oldBytes, patch, withHeader, &rebuilt));
            EXPECT_TRUE(rebuilt == newBytes);
        }
    }
}

Bytes RandomBytes(std::mt19937& rng, size_t n)
{
    Bytes bytes(n);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

// Scattered insertions, deletions and substitutions, as between two builds of a file.
Bytes Edit(std::mt19937& rng, Bytes bytes, int edits)
{
    for (int i = 0; i < edits && !bytes.empty(); ++i) {
        const size_t at = rng() % bytes.size();
        const size_t span = 1 + rng() % 40;
        switch (rng() % 3) {
        case 0: {
            const Bytes inserted = RandomBytes(rng, span);
            bytes.insert(bytes.begin() + at, inserted.begin(), inserted.end());
            break;
        }
        case 1:
            bytes.erase(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + span));
            break;
        default:
            for (size_t k = at; k < std::min(bytes.size(), at + span); ++k)
                bytes[k] = static_cast<uint8_t>(bytes[k] + 1 + rng() % 5);
        }
    }
    return bytes;
}

// A method-0 patch assembled by hand from control triples and the two byte streams.
struct RawPatch {
    uint32_t newLength = 0;
    std::vector<int32_t> control;
    Bytes diff;
    Bytes extra;

    Bytes build(bool withHeader = false, uint32_t crc = 0) const
    {
        vxpatch::ByteSink controlBytes;
        for (int32_t value : control)
            controlBytes.WriteVarint32Signed(value);
        vxpatch::ByteSink patch;
        if (withHeader) {
            patch.Write("VXDIFF10", 8);
            patch.WriteVarint32(crc);
        }
        const uint8_t method = 0;
        patch.Write(&method, 1);
        patch.WriteVarint32(newLength);
        patch.WriteVarint32(controlBytes.size());
        patch.WriteVarint32(static_cast<uint32_t>(diff.size()));
        patch.WriteVarint32(static_cast<uint32_t>(extra.size()));
        patch.Write(controlBytes.data(), controlBytes.size());
        patch.Write(diff.data(), diff.size());
        patch.Write(extra.data(), extra.size());
        return SinkBytes(patch);
    }
};

const Bytes kOld = {10, 20, 30, 40, 50, 60, 70, 80};

TEST(VxdiffPatch, RoundTripsRandomAndEditedStrings)
{
    std::mt19937 rng(2024);
    for (size_t n : {1, 2, 100, 5000, 40000}) {
        const Bytes base = RandomBytes(rng, n);
        ExpectRoundTrip(base, base, "identical " + std::to_string(n));
        ExpectRoundTrip(base, RandomBytes(rng, n), "unrelated " + std::to_string(n));
        ExpectRoundTrip(
            base, Edit(rng, base, 1 + static_cast<int>(n / 500)), "edited " + std::to_string(n));
        ExpectRoundTrip({}, base, "from empty " + std::to_string(n));
        ExpectRoundTrip(base, {}, "to empty " + std::to_string(n));
    }
    const Bytes base = RandomBytes(rng, 20000);
    ExpectRoundTrip(base, Edit(rng, base, 40), "edited, compressed", {1, 2});
    ExpectRoundTrip({}, {}, "both empty", {0, 1, 2});
    Bytes text(20000, 'a');
    ExpectRoundTrip(text, Edit(rng, text, 30), "repetitive");
}

// Old data handed over in pieces must read as their concatenation, with copy runs that cross
// the seams, pieces that are empty, and the end of the last piece as the end of the data.
TEST(VxdiffPatch, OldDataInPartsReadsAsOneString)
{
    std::mt19937 rng(77);
    const Bytes oldBytes = RandomBytes(rng, 6000);
    const Bytes newBytes = Edit(rng, oldBytes, 12);
    const Bytes patch = MakePatch(oldBytes, newBytes, false, 0);
    const std::vector<std::vector<size_t>> cuts = {
        {}, {1}, {5999}, {3000}, {0, 0, 2000, 2000, 4000}, {1000, 2000, 3000, 4000, 5000, 6000},
        {7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61},
    };
    for (const std::vector<size_t>& cut : cuts) {
        SCOPED_TRACE("parts cut at " + ::testing::PrintToString(cut));
        std::vector<vxpatch::ByteSource> parts;
        size_t begin = 0;
        for (size_t end : cut) {
            parts.emplace_back(oldBytes.data() + begin, end - begin);
            begin = end;
        }
        parts.emplace_back(oldBytes.data() + begin, oldBytes.size() - begin);
        vxpatch::ByteSource patchSource(patch.data(), patch.size());
        vxpatch::ByteSink output;
        ASSERT_TRUE(vxpatch::ApplyVxdiffPatchOverParts(parts.data(), uint32_t(parts.size()),
                                                       &patchSource, &output));
        EXPECT_TRUE(SinkBytes(output) == newBytes);

        // Without a large last piece the copies reach past the end of the old data.
        if (parts.back().Remaining() < 1000)
            continue;
        vxpatch::ByteSource again(patch.data(), patch.size());
        vxpatch::ByteSink shortOutput;
        EXPECT_FALSE(vxpatch::ApplyVxdiffPatchOverParts(parts.data(), uint32_t(parts.size() - 1),
                                                        &again, &shortOutput));
    }
    std::vector<vxpatch::ByteSource> tooMany(vxpatch::kVxdiffMaxParts + 1);
    vxpatch::ByteSource patchSource(patch.data(), patch.size());
    vxpatch::ByteSink output;
    EXPECT_FALSE(vxpatch::ApplyVxdiffPatchOverParts(tooMany.data(), uint32_t(tooMany.size()),
                                                    &patchSource, &output));
}

TEST(VxdiffPatch, IdenticalInputGivesOneCopyOfZeroDifferences)
{
    std::mt19937 rng(5);
    const Bytes data = RandomBytes(rng, 1000);
    const Bytes patch = MakePatch(data, data, false, 0);

    vxpatch::ByteSource source(patch.data(), patch.size());
    uint8_t method = 9;
    uint32_t newLength = 0, controlLength = 0, diffLength = 0, extraLength = 0;
    ASSERT_TRUE(source.ReadBytes(&method, 1));
    ASSERT_TRUE(source.ReadVarint32(&newLength));
    ASSERT_TRUE(source.ReadVarint32(&controlLength));
    ASSERT_TRUE(source.ReadVarint32(&diffLength));
    ASSERT_TRUE(source.ReadVarint32(&extraLength));
    EXPECT_EQ(0, method);
    EXPECT_EQ(1000u, newLength);
    EXPECT_EQ(1000u, diffLength);
    EXPECT_EQ(0u, extraLength);

    vxpatch::ByteSource control;
    ASSERT_TRUE(source.ReadSubstream(controlLength, &control));
    int32_t copy = -1, extra = -1, seek = 0;
    ASSERT_TRUE(control.ReadVarint32Signed(&copy));
    ASSERT_TRUE(control.ReadVarint32Signed(&extra));
    ASSERT_TRUE(control.ReadVarint32Signed(&seek));
    EXPECT_EQ(1000, copy);
    EXPECT_EQ(0, extra);
    EXPECT_TRUE(control.Empty()) << "more than one triple";
    EXPECT_TRUE(Bytes(source.current(), source.current() + diffLength) == Bytes(1000, 0));
}

TEST(VxdiffPatch, EmptyRawPatchYieldsEmptyOutput)
{
    Bytes out = {1};
    EXPECT_TRUE(Apply(kOld, {0, 0, 0, 0, 0}, false, &out));
    EXPECT_TRUE(out.empty());
}

TEST(VxdiffPatch, AppliesHandMadeTriplesWithSeeks)
{
    RawPatch patch;
    patch.newLength = 5;
    // Seek to old[2], copy old[2..4) + 1, two literals, jump back to old[0], copy it.
    patch.control = {0, 0, 2, 2, 2, -4, 1, 0, 0};
    patch.diff = {1, 1, 0};
    patch.extra = {'x', 'y'};
    Bytes out;
    ASSERT_TRUE(Apply(kOld, patch.build(), false, &out));
    EXPECT_TRUE(out == Bytes({31, 41, 'x', 'y', 10})) << out.size();
}

TEST(VxdiffPatch, SeeksWithoutCopiesNeedNoOldData)
{
    RawPatch patch;
    patch.newLength = 2;
    patch.control = {0, 1, 0, 0, 1, 7};
    patch.extra = {'p', 'q'};
    Bytes out;
    ASSERT_TRUE(Apply({}, patch.build(), false, &out));
    EXPECT_TRUE(out == Bytes({'p', 'q'}));
}

struct FailureCase {
    const char* name;
    Bytes patch;
    bool withHeader;
    const char* message; // null: the failure is quiet
};

std::vector<FailureCase> FailureCases()
{
    const auto raw = [](uint32_t newLength, std::vector<int32_t> control, Bytes diff, Bytes extra) {
        RawPatch patch;
        patch.newLength = newLength;
        patch.control = std::move(control);
        patch.diff = std::move(diff);
        patch.extra = std::move(extra);
        return patch.build();
    };
    Bytes goodBody = raw(2, {0, 2, 0}, {}, {'a', 'b'});
    Bytes wrongCrc = RawPatch{2, {0, 2, 0}, {}, {'a', 'b'}}.build(true, 12345);
    Bytes lengthsBeyondData = {0, 4, 3, 0, 0, 2, 1}; // control says 3 bytes, 2 follow
    Bytes headerOnly = {'V', 'X', 'D', 'I', 'F', 'F', '1', '0'};
    Bytes badMagic = headerOnly;
    badMagic[7] = '1';
    badMagic.insert(badMagic.end(), goodBody.begin(), goodBody.end());
    return {
        {"empty patch", {}, false, nullptr},
        {"method 3", {3, 0}, false, "Invalid compression method"},
        {"method 255", {255, 0}, false, "Invalid compression method"},
        {"no new length", {0}, false, nullptr},
        {"bad magic", badMagic, true, "Corrupt patch header"},
        {"short magic", {'V', 'X'}, true, nullptr},
        {"no crc", headerOnly, true, "Could not read crc"},
        {"crc mismatch", wrongCrc, true, "crc mismatch"},
        {"stream lengths beyond the data", lengthsBeyondData, false, nullptr},
        {"control runs out", raw(5, {0, 2, 0}, {}, {'a', 'b', 'c', 'd', 'e'}), false,
            "Corrupt patch reading control"},
        {"half a triple", raw(5, {0, 2}, {}, {'a', 'b', 'c', 'd', 'e'}), false,
            "Corrupt patch reading control"},
        {"extra past new length", raw(2, {0, 3, 0}, {}, {'a', 'b', 'c'}), false, "Corrupt patch"},
        {"copy past new length", raw(2, {3, 0, 0}, {0, 0, 0}, {}), false, "Corrupt patch"},
        {"copy past old end", raw(9, {9, 0, 0}, Bytes(9, 0), {}), false, nullptr},
        {"copy after seek past old end", raw(4, {0, 0, 6, 4, 0, 0}, Bytes(4, 0), {}), false,
            nullptr},
        {"copy from below old start", raw(4, {0, 0, -2, 4, 0, 0}, Bytes(4, 0), {}), false, nullptr},
        {"old position below zero", raw(2, {0, 1, -3, 0, 1, 0}, {}, {'a', 'b'}), false, nullptr},
        {"negative copy", raw(4, {-2, 0, 0}, {}, {'a', 'b', 'c', 'd'}), false, nullptr},
        {"negative extra", raw(4, {0, -2, 0}, {}, {'a', 'b', 'c', 'd'}), false, nullptr},
        {"copy longer than diff stream", raw(4, {4, 0, 0}, {0, 0}, {'a', 'b'}), false, nullptr},
        {"extra longer than extra stream", raw(4, {0, 4, 0}, {0, 0, 0}, {'a'}), false, nullptr},
        {"new length beyond both streams", raw(0x7FFFFFF0, {1, 1, 0}, {0}, {'a'}), false, nullptr},
        {"lzma2 stream missing", {1, 4}, false, nullptr},
        {"lzma2 block garbage", {2, 4, 0x5D, 9, 0xFF, 0xFF, 0xFF}, false, nullptr},
    };
}

TEST(VxdiffPatch, RejectsMalformedPatchesWithTheirMessages)
{
    for (const FailureCase& c : FailureCases()) {
        SCOPED_TRACE(c.name);
        PatchLogCapture capture;
        Bytes out;
        EXPECT_FALSE(Apply(kOld, c.patch, c.withHeader, &out));
        if (c.message) {
            EXPECT_TRUE(capture.contains(c.message))
                << (capture.messages.empty() ? "(nothing logged)" : capture.messages.front());
        }
    }
}

// One small old/new pair and its patch in each layout, made once for the tests that
// damage patches.
struct DamageFixture {
    Bytes oldBytes;
    Bytes newBytes;
    Bytes patches[3];
};

const DamageFixture& Damage()
{
    static const DamageFixture fixture = [] {
        std::mt19937 rng(99);
        DamageFixture f;
        f.oldBytes = RandomBytes(rng, 1500);
        f.newBytes = Edit(rng, f.oldBytes, 6);
        for (int method = 0; method <= 2; ++method)
            f.patches[method] = MakePatch(f.oldBytes, f.newBytes, true, method);
        return f;
    }();
    return fixture;
}

TEST(VxdiffPatch, EveryTruncationOfARealPatchFails)
{
    const DamageFixture& f = Damage();
    for (int method = 0; method <= 2; ++method) {
        const Bytes& patch = f.patches[method];
        Bytes out;
        ASSERT_TRUE(Apply(f.oldBytes, patch, true, &out));
        for (size_t length = 0; length < patch.size(); ++length) {
            SCOPED_TRACE("method " + std::to_string(method) + ", cut at " + std::to_string(length));
            EXPECT_FALSE(
                Apply(f.oldBytes, Bytes(patch.begin(), patch.begin() + length), true, &out));
        }
    }
}

// Flipped bytes must never make the applier step outside its inputs (the sanitizers
// watch that) nor produce more than the length the patch announces. The header is
// skipped so that the checksum does not hide what the body does.
TEST(VxdiffPatch, CorruptedBytesNeverOverrunTheAnnouncedLength)
{
    const DamageFixture& f = Damage();
    for (int method = 0; method <= 2; ++method) {
        vxpatch::ByteSource skipHeader(f.patches[method].data(), f.patches[method].size());
        uint32_t crc = 0;
        ASSERT_TRUE(skipHeader.Skip(8) && skipHeader.ReadVarint32(&crc));
        const Bytes patch(skipHeader.current(), skipHeader.current() + skipHeader.Remaining());
        for (size_t at = 0; at < patch.size(); ++at) {
            for (uint8_t flip : {0x01, 0x80, 0xFF}) {
                Bytes corrupt = patch;
                corrupt[at] ^= flip;
                vxpatch::ByteSource header(corrupt.data(), corrupt.size());
                uint8_t m = 0;
                uint32_t announced = 0;
                header.ReadBytes(&m, 1);
                header.ReadVarint32(&announced);
                Bytes out;
                if (Apply(f.oldBytes, corrupt, false, &out))
                    EXPECT_EQ(announced, out.size()) << "method " << method << " byte " << at;
                else
                    EXPECT_LE(out.size(), announced) << "method " << method << " byte " << at;
            }
        }
    }
}

// Hands a patch out a few bytes at a time, as a decoder does: the bytes not decoded yet read as
// garbage, and those handed back or told to be zeros are spoiled, so a read of any of them
// changes the result.
class PiecewisePatch : public vxpatch::DecodingPatch {
public:
    PiecewisePatch(const Bytes& patch, size_t piece, size_t decodable)
        : patch_(patch), buffer_(patch.size(), 0xA5), piece_(piece), decodable_(decodable)
    {
    }

    const uint8_t* WaitFor(const uint8_t* needed) override
    {
        const size_t wanted = size_t(needed - buffer_.data());
        if (wanted > decodable_)
            return nullptr;
        while (decoded_ < wanted) {
            const size_t next = std::min({decoded_ + piece_, decodable_, patch_.size()});
            std::copy(patch_.begin() + decoded_, patch_.begin() + next, buffer_.begin() + decoded_);
            decoded_ = next;
        }
        return buffer_.data() + decoded_;
    }

    void Consumed(const uint8_t* begin, const uint8_t* end) override
    {
        EXPECT_LE(end, buffer_.data() + decoded_);
        for (uint8_t* at = buffer_.data() + (begin - buffer_.data()); at < end; ++at)
            *at ^= 0x5A;
    }

    size_t ZeroRun(const uint8_t* at, size_t n, bool* zeros) override
    {
        const size_t from = size_t(at - buffer_.data());
        EXPECT_LE(from + n, decoded_);
        *zeros = patch_[from] == 0;
        size_t run = 1;
        while (run < n && (patch_[from + run] == 0) == *zeros)
            ++run;
        if (*zeros)
            std::fill(buffer_.begin() + from, buffer_.begin() + from + run, 0xEE);
        return run;
    }

    vxpatch::ByteSource source() const { return vxpatch::ByteSource(buffer_.data(), buffer_.size()); }

private:
    const Bytes& patch_;
    Bytes buffer_;
    size_t piece_;
    size_t decodable_;
    size_t decoded_ = 0;
};

// Applying while the patch decodes must give the verdict and bytes of applying it whole, on
// sound, corrupted and cut patches, and fail when the decoding stops short.
TEST(VxdiffPatch, AppliedAsDecodedMatchesAppliedWhole)
{
    const DamageFixture& f = Damage();
    const vxpatch::ByteSource oldParts[2] = {
        vxpatch::ByteSource(f.oldBytes.data(), 700),
        vxpatch::ByteSource(f.oldBytes.data() + 700, f.oldBytes.size() - 700)};
    const auto expectSame = [&](const Bytes& patch, size_t piece, size_t decodable) {
        vxpatch::ByteSource whole(patch.data(), patch.size());
        vxpatch::ByteSink wholeOutput;
        const bool wholeOk = decodable >= patch.size() &&
            vxpatch::ApplyVxdiffPatchOverParts(oldParts, 2, &whole, &wholeOutput);
        PiecewisePatch decoding(patch, piece, decodable);
        vxpatch::ByteSource source = decoding.source();
        vxpatch::ByteSink output;
        const bool ok =
            vxpatch::ApplyVxdiffPatchOverPartsAsDecoded(oldParts, 2, &source, &decoding, &output);
        EXPECT_EQ(wholeOk, ok);
        if (ok && wholeOk) {
            EXPECT_TRUE(SinkBytes(output) == SinkBytes(wholeOutput));
        }
        return ok;
    };
    for (int method = 0; method <= 2; ++method) {
        vxpatch::ByteSource skipHeader(f.patches[method].data(), f.patches[method].size());
        uint32_t crc = 0;
        ASSERT_TRUE(skipHeader.Skip(8) && skipHeader.ReadVarint32(&crc));
        const Bytes patch(skipHeader.current(), skipHeader.current() + skipHeader.Remaining());
        for (size_t piece : {1, 7, 4096}) {
            SCOPED_TRACE("method " + std::to_string(method) + ", pieces of " + std::to_string(piece));
            EXPECT_TRUE(expectSame(patch, piece, patch.size()));
            for (size_t decodable = 0; decodable < patch.size(); decodable += 1 + decodable / 8)
                expectSame(patch, piece, decodable);
        }
        SCOPED_TRACE("method " + std::to_string(method) + ", corrupted");
        for (size_t at = 0; at < patch.size(); ++at) {
            Bytes corrupt = patch;
            corrupt[at] ^= 0xFF;
            expectSame(corrupt, 7, corrupt.size());
            expectSame(Bytes(patch.begin(), patch.begin() + at), 7, at);
        }
    }
}

TEST(VxdiffPatch, HeaderCarriesTheChecksumOfTheNewBytes)
{
    const Bytes newBytes = {'a', 'b', 'c'};
    const Bytes patch = MakePatch(kOld, newBytes, true, 0);
    ASSERT_GE(patch.size(), 9u);
    EXPECT_TRUE(
        Bytes(patch.begin(), patch.begin() + 8) == Bytes({'V', 'X', 'D', 'I', 'F', 'F', '1', '0'}));
    vxpatch::ByteSource source(patch.data() + 8, patch.size() - 8);
    uint32_t crc = 0;
    ASSERT_TRUE(source.ReadVarint32(&crc));
    EXPECT_EQ(vxpatch::ComputeCrc(newBytes.data(), 3), crc);
}

TEST(VxdiffPatch, MakerRejectsUnknownMethod)
{
    PatchLogCapture capture;
    vxpatch::ByteSource oldSource(kOld.data(), kOld.size());
    vxpatch::ByteSource newSource(kOld.data(), kOld.size());
    vxpatch::ByteSink patch;
    EXPECT_FALSE(vxpatch::MakeVxdiffPatch(&oldSource, &newSource, &patch, false, 3));
    EXPECT_EQ(0u, patch.size());
}

} // namespace
