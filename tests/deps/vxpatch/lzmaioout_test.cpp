#include "backgroundlzma2decoder.h"
#include "bytesink.h"
#include "bytesource.h"
#include "log.h"
#include "lzmaioout.h"
#include "patchlogcapture.h"
#include "sinkbytes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vxpatch {
namespace {

using vxtest::Bytes;
using vxtest::SinkBytes;

// Compressible text-like bytes, the same for a given seed.
Bytes sampleBytes(size_t length, unsigned seed)
{
    static const char* const words[] = {"voxmere ", "update ", "patch ", "block ",
                                        "stream ",  "client ", "\n",     "0123456789 "};
    std::mt19937 random(seed);
    Bytes bytes;
    while (bytes.size() < length) {
        const std::string word = words[random() % 8];
        bytes.insert(bytes.end(), word.begin(), word.end());
        if (random() % 5 == 0)
            bytes.push_back(static_cast<uint8_t>(random()));
    }
    bytes.resize(length);
    return bytes;
}

Bytes compressed(const Bytes& input)
{
    ByteSink sink;
    EXPECT_TRUE(CompressBufferLzma2(input.data(), input.size(), &sink));
    return SinkBytes(sink);
}

// Dictionary size named by an LZMA2 property byte (at most 40).
uint32_t dictionarySize(uint8_t property)
{
    if (property == 40)
        return 0xFFFFFFFFu;
    return (2u | (property & 1u)) << (property / 2 + 11);
}

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/vxpatch_lzma2_XXXXXX";
        if (mkdtemp(pattern))
            path = pattern;
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

void writeAll(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A block holding "a" in a stored chunk: control 01 (stored, dictionary reset), size - 1 as
// 00 00, the byte, end marker 00.
const Bytes kStoredA = {0x1C, 0x01, 0x01, 0x00, 0x00, 'a', 0x00};

TEST(Lzma2Block, ReadsAStoredChunk)
{
    ByteSource source(kStoredA.data(), kStoredA.size());
    ByteSink out;
    ASSERT_TRUE(ReadLzma2Block(&source, &out));
    EXPECT_EQ(SinkBytes(out), Bytes{'a'});
    EXPECT_EQ(out.capacity(), 256u);  // grown once, to the minimum
    EXPECT_TRUE(source.Empty());
}

TEST(Lzma2Block, PayloadDecodesWithXz)
{
    const Bytes input = sampleBytes(300000, 1);
    const Bytes block = compressed(input);
    ASSERT_GE(block.size(), 2u);
    ByteSource header(block.data(), block.size());
    uint8_t property = 0;
    uint32_t size = 0;
    ASSERT_TRUE(header.ReadBytes(&property, 1));
    ASSERT_TRUE(header.ReadVarint32(&size));
    EXPECT_EQ(size, input.size());
    EXPECT_EQ(dictionarySize(property), 64u << 20);  // level 9

    TempDir dir;
    writeAll(dir.file("payload"), Bytes(header.current(), header.end()));
    const std::string command = "xz --decompress --format=raw --lzma2=dict="
        + std::to_string(dictionarySize(property)) + " --stdout '" + dir.file("payload") + "' > '"
        + dir.file("plain") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_TRUE(readAll(dir.file("plain")) == input);
}

TEST(Lzma2Block, ReadsARawStreamWrittenByXz)
{
    const Bytes input = sampleBytes(200000, 2);
    TempDir dir;
    writeAll(dir.file("plain"), input);
    const std::string command = "xz --compress --format=raw --lzma2=preset=9 --stdout '"
        + dir.file("plain") + "' > '" + dir.file("payload") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;

    ByteSink block;
    const uint8_t property = 0x1C;  // 64 MiB, the level-9 dictionary
    ASSERT_EQ(dictionarySize(property), 64u << 20);
    ASSERT_TRUE(block.Write(&property, 1));
    ASSERT_TRUE(block.WriteVarint32(static_cast<uint32_t>(input.size())));
    const Bytes payload = readAll(dir.file("payload"));
    ASSERT_TRUE(block.Write(payload.data(), payload.size()));
    ASSERT_TRUE(block.Write("next", 4));

    ByteSource source;
    source.Init(block);
    ByteSink out;
    ASSERT_TRUE(ReadLzma2Block(&source, &out));
    EXPECT_TRUE(SinkBytes(out) == input);
    EXPECT_EQ(source.Remaining(), 4u);
}

TEST(Lzma2Block, BlocksFollowEachOtherAndAppendToTheSink)
{
    const Bytes first = sampleBytes(5000, 3);
    const Bytes second = sampleBytes(70000, 4);
    ByteSink blocks;
    ASSERT_TRUE(CompressBufferLzma2(first.data(), first.size(), &blocks));
    const uint32_t secondStart = blocks.size();
    ByteSource secondSource(second.data(), second.size());
    ASSERT_TRUE(CompressStreamLzma2(&secondSource, &blocks));
    EXPECT_TRUE(secondSource.Empty());

    ByteSource source;
    source.Init(blocks);
    ByteSink out;
    ASSERT_TRUE(out.Write("pre", 3));
    ASSERT_TRUE(ReadLzma2Block(&source, &out));
    EXPECT_EQ(source.current(), blocks.data() + secondStart);
    ASSERT_TRUE(ReadLzma2Block(&source, &out));
    EXPECT_TRUE(source.Empty());
    Bytes expected = {'p', 'r', 'e'};
    expected.insert(expected.end(), first.begin(), first.end());
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_TRUE(SinkBytes(out) == expected);
}

// A block decoded on its own thread into a sink whose room held other bytes before: runs of
// zeros longer than a page are never copied, yet read as zeros and are reported as such, and
// everything else arrives as the one-call decoder gives it.
TEST(Lzma2Block, BackgroundDecoderGivesTheBytesWithRunsOfZerosLeftOut)
{
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    Bytes input;
    for (unsigned part = 0; part < 6; ++part) {
        const Bytes text = sampleBytes(3 * page + 123 * part, part);
        input.insert(input.end(), text.begin(), text.end());
        input.insert(input.end(), (part % 3 + 1) * BackgroundLzma2Decoder::kWindowSize / 2, 0);
    }
    const Bytes block = compressed(input);
    ByteSource source(block.data(), block.size());
    ByteSink body;
    ASSERT_TRUE(body.Reserve(uint32_t(input.size() + page)));
    std::fill(body.FreeSpace(), body.FreeSpace() + input.size(), 0xAA);

    BackgroundLzma2Decoder decoder(&source, &body);
    ASSERT_TRUE(decoder.WaitFor(uint32_t(input.size())));
    size_t zeroRuns = 0;
    for (uint32_t at = 0; at < input.size();) {
        bool zeros = false;
        const uint32_t n = decoder.ZeroRun(at, uint32_t(input.size()) - at, &zeros);
        ASSERT_GT(n, 0u);
        if (zeros) {
            ++zeroRuns;
            EXPECT_TRUE(std::all_of(input.begin() + at, input.begin() + at + n,
                                    [](uint8_t b) { return b == 0; }))
                << "reported zeros at " << at;
        }
        at += n;
    }
    EXPECT_GE(zeroRuns, 6u);
    ASSERT_TRUE(decoder.Finish());
    EXPECT_TRUE(SinkBytes(body) == input);
    EXPECT_TRUE(source.Empty());
}

// A block too short for the window is decoded on its thread straight into the sink, piece after
// piece, each in its place.
TEST(Lzma2Block, BackgroundDecoderPlacesEachPieceOfASmallBlock)
{
    const Bytes input = sampleBytes(BackgroundLzma2Decoder::kMinBackgroundSize
                                        + 5 * BackgroundLzma2Decoder::kPieceSize + 77, 9);
    const Bytes block = compressed(input);
    ByteSource source(block.data(), block.size());
    ByteSink body;
    BackgroundLzma2Decoder decoder(&source, &body);
    ASSERT_TRUE(decoder.WaitFor(1));
    ASSERT_TRUE(decoder.Finish());
    EXPECT_TRUE(SinkBytes(body) == input);
    EXPECT_TRUE(source.Empty());
}

TEST(Lzma2Block, EmptyInputMakesAnEmptyBlock)
{
    const Bytes block = compressed(Bytes());
    ASSERT_GE(block.size(), 3u);
    EXPECT_EQ(block[1], 0x00);  // unpacked size 0
    ByteSource source(block.data(), block.size());
    ByteSink out;
    ASSERT_TRUE(ReadLzma2Block(&source, &out));
    EXPECT_EQ(out.size(), 0u);
    EXPECT_TRUE(source.Empty());
}

struct FailureCase {
    const char* name;
    Bytes block;
    std::string message;
};

// Each failure leaves the cursor and the sink's size as they were and logs one ERROR.
void expectFailure(const FailureCase& c, ByteSink* sink)
{
    SCOPED_TRACE(c.name);
    PatchLogCapture capture;
    // An exactly sized heap copy, so a read past the end trips AddressSanitizer.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[c.block.size() + 1]);
    std::copy(c.block.begin(), c.block.end(), exact.get());
    ByteSource source(exact.get(), c.block.size());
    const uint32_t sizeBefore = sink->size();
    EXPECT_FALSE(ReadLzma2Block(&source, sink));
    EXPECT_EQ(source.current(), exact.get());
    EXPECT_EQ(sink->size(), sizeBefore);
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0], c.message);
    EXPECT_EQ(capture.levels[0], LogLevel_ERROR);
}

TEST(Lzma2Block, BadBlocksFailWithTheirMessages)
{
    const Bytes input = sampleBytes(100000, 5);
    const Bytes good = compressed(input);
    ASSERT_EQ(good[1] & 0x80, 0x80);  // the size takes three bytes: 100000
    const size_t payloadStart = 4;

    Bytes larger = good;
    larger[1] = 0xA1;  // 100001: the stream ends one byte early
    Bytes smaller = good;
    smaller[1] = 0x9F;  // 99999: the stream holds one byte more
    Bytes truncated(good.begin(), good.end() - 1);  // no end marker
    Bytes corrupt = good;
    corrupt[payloadStart] = 0x03;  // not a chunk control byte
    Bytes badProperty = good;
    badProperty[0] = 41;
    const Bytes hugeSize = {0x10, 0xFF, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0x00};

    const FailureCase cases[] = {
        {"empty", {}, "Error read LZMA2 properties"},
        {"property only", {0x1C}, "Error read LZMA2 unpack size"},
        {"truncated size", {0x1C, 0x80, 0x80}, "Error read LZMA2 unpack size"},
        {"stored size too large", larger, "Error uncompressing data 0"},
        {"stored size too small", smaller, "Error uncompressing data 7"},
        {"truncated payload", truncated, "Error uncompressing data 1"},
        {"corrupt payload", corrupt, "Error uncompressing data 1"},
        {"bad property", badProperty, "Error uncompressing data 4"},
        {"size beyond the input", hugeSize, "Error uncompressing data 6"},
    };
    for (const FailureCase& c : cases) {
        ByteSink sink;
        ASSERT_TRUE(sink.Write("keep", 4));
        expectFailure(c, &sink);
    }
}

TEST(Lzma2Block, FailedSinkRefusesToGrow)
{
    ByteSink sink;
    const uint8_t byte = 0;
    ASSERT_TRUE(sink.Write(&byte, 1));
    ASSERT_FALSE(sink.Write(&byte, 0xFFFFFFF0u));
    expectFailure({"failed sink", kStoredA, "unable to allocate sink space"}, &sink);
}

} // namespace
} // namespace vxpatch
