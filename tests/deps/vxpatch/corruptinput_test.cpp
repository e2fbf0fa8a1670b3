// Corrupted and truncated inputs for every parser of the stream layer. Each input sits in a heap
// block of exactly its size, so under AddressSanitizer any read past it fails the test.
#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"
#include "lzmaioout.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace vxpatch {
namespace {

using Bytes = std::vector<uint8_t>;

class ExactCopy {
public:
    explicit ExactCopy(const Bytes& bytes)
        : data_(new uint8_t[bytes.size()]), size_(bytes.size())
    {
        std::copy(bytes.begin(), bytes.end(), data_.get());
    }
    const uint8_t* data() const { return data_.get(); }
    size_t size() const { return size_; }

private:
    std::unique_ptr<uint8_t[]> data_;
    size_t size_;
};

// The input itself, every truncation of it, and `flips` copies with one to three bytes changed.
std::vector<Bytes> variantsOf(const Bytes& valid, int flips, std::mt19937* random)
{
    std::vector<Bytes> variants;
    for (size_t n = 0; n <= valid.size(); ++n)
        variants.emplace_back(valid.begin(), valid.begin() + static_cast<long>(n));
    for (int i = 0; i < flips && !valid.empty(); ++i) {
        Bytes changed = valid;
        for (int k = 0, count = 1 + static_cast<int>((*random)() % 3); k < count; ++k)
            changed[(*random)() % changed.size()] = static_cast<uint8_t>((*random)());
        variants.push_back(changed);
    }
    return variants;
}

void readEverything(ByteSource* stream)
{
    uint32_t value = 0;
    while (!stream->Empty()) {
        const uint8_t* before = stream->current();
        if (!stream->ReadVarint32(&value)) {
            ASSERT_EQ(stream->current(), before);
            ASSERT_TRUE(stream->Skip(1));
        }
    }
}

TEST(CorruptInput, VarintsStayInsideTheirInput)
{
    std::mt19937 random(1);
    for (int i = 0; i < 3000; ++i) {
        Bytes bytes(random() % 12);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(random() | (random() % 4 ? 0x80 : 0));
        const ExactCopy input(bytes);
        ByteSource source(input.data(), input.size());
        readEverything(&source);
        EXPECT_TRUE(source.Empty());
    }
}

TEST(CorruptInput, StreamSetsStayInsideTheirInput)
{
    ByteSinkSet inner;
    ASSERT_TRUE(inner.stream(0)->WriteVarint32(1000));
    ASSERT_TRUE(inner.stream(3)->Write("nested", 6));
    ByteSinkSet outer;
    outer.SetCount(4);
    ASSERT_TRUE(outer.stream(0)->WriteVarint32(5));
    ASSERT_TRUE(outer.WriteSet(&inner));
    ASSERT_TRUE(outer.stream(1)->Write("one", 3));
    ByteSink written;
    ASSERT_TRUE(outer.CopyTo(&written));
    const Bytes valid(written.data(), written.data() + written.size());

    std::mt19937 random(2);
    int accepted = 0;
    for (const Bytes& variant : variantsOf(valid, 3000, &random)) {
        const ExactCopy input(variant);
        ByteSourceSet set;
        if (!set.Init(input.data(), input.size()))
            continue;
        ++accepted;
        for (uint32_t i = 0; i < set.count(); ++i) {
            ASSERT_GE(set.stream(i)->current(), input.data());
            ASSERT_LE(set.stream(i)->end(), input.data() + input.size());
        }
        ByteSourceSet nested;
        uint32_t first = 0;
        if (set.stream(0)->ReadVarint32(&first) && set.ReadSet(&nested)) {
            for (uint32_t i = 0; i < ByteSourceSet::kMaxStreams; ++i)
                readEverything(nested.stream(i));
        }
        for (uint32_t i = 0; i < set.count(); ++i)
            readEverything(set.stream(i));
        EXPECT_TRUE(set.Empty());
    }
    EXPECT_GT(accepted, 1);  // the valid set and some harmless byte changes
}

TEST(CorruptInput, Lzma2BlocksStayInsideTheirInput)
{
    Bytes plain;
    std::mt19937 random(3);
    for (int i = 0; i < 3000; ++i)
        plain.push_back(static_cast<uint8_t>("abcdefgh"[random() % 8]));
    ByteSink written;
    ASSERT_TRUE(CompressBufferLzma2(plain.data(), plain.size(), &written));
    const Bytes valid(written.data(), written.data() + written.size());

    int decoded = 0;
    for (const Bytes& variant : variantsOf(valid, 1000, &random)) {
        const ExactCopy input(variant);
        ByteSource source(input.data(), input.size());
        ByteSink sink;
        if (ReadLzma2Block(&source, &sink)) {
            ++decoded;
            EXPECT_LE(source.current(), input.data() + input.size());
        } else {
            EXPECT_EQ(source.current(), input.data());
            EXPECT_EQ(sink.size(), 0u);
        }
    }
    EXPECT_GE(decoded, 1);
}

} // namespace
} // namespace vxpatch
