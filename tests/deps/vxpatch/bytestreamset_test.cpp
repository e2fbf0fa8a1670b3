#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"
#include "sinkbytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vxpatch {
namespace {

using vxtest::Bytes;
using vxtest::SinkBytes;

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kMagic = {0xEA, 0x9A, 0xCA, 0x09};

TEST(ByteSinkSet, DefaultSetWritesTenLengths)
{
    ByteSinkSet set;
    ASSERT_TRUE(set.stream(0)->Write("xyz", 3));
    ByteSink out;
    ASSERT_TRUE(set.CopyTo(&out));
    Bytes expected = concat(kMagic, {0x0A, 0x03});
    expected.insert(expected.end(), 9, 0x00);
    expected = concat(expected, {'x', 'y', 'z'});
    EXPECT_EQ(SinkBytes(out), expected);
    EXPECT_EQ(set.stream(0)->data(), nullptr);  // released once copied
}

TEST(ByteSinkSet, EmptySetIsMagicAndZeroCount)
{
    ByteSinkSet set;
    set.SetCount(0);
    ByteSink out;
    ASSERT_TRUE(out.Write("p", 1));
    ASSERT_TRUE(set.CopyTo(&out));
    EXPECT_EQ(SinkBytes(out), concat({'p'}, concat(kMagic, {0x00})));
}

TEST(ByteSinkSet, CopyToRefusesAFailedStream)
{
    ByteSinkSet set;
    set.SetCount(2);
    const uint8_t byte = 0;
    ASSERT_TRUE(set.stream(0)->Write("a", 1));
    ASSERT_TRUE(set.stream(1)->Write(&byte, 1));
    ASSERT_FALSE(set.stream(1)->Write(&byte, 0xFFFFFFF0u));
    ByteSink out;
    EXPECT_FALSE(set.CopyTo(&out));
    EXPECT_EQ(out.size(), 0u);
}

struct InitCase {
    const char* name;
    Bytes bytes;
    bool ok;
};

TEST(ByteSourceSet, InitDemandsExactlyTheListedBytes)
{
    Bytes tenEmpty = concat(kMagic, {0x0A});
    tenEmpty.insert(tenEmpty.end(), 10, 0x00);
    Bytes eleven = concat(kMagic, {0x0B});
    eleven.insert(eleven.end(), 11, 0x00);
    const InitCase cases[] = {
        {"count 0", concat(kMagic, {0x00}), true},
        {"count 0 plus a byte", concat(kMagic, {0x00, 0x01}), false},
        {"two streams", concat(kMagic, {0x02, 0x01, 0x02, 'a', 'b', 'c'}), true},
        {"one byte short", concat(kMagic, {0x02, 0x01, 0x02, 'a', 'b'}), false},
        {"one byte over", concat(kMagic, {0x02, 0x01, 0x02, 'a', 'b', 'c', 'd'}), false},
        {"ten empty", tenEmpty, true},
        {"eleven", eleven, false},
        {"wrong magic", {0xEA, 0x9A, 0xCA, 0x08, 0x00}, false},
        {"truncated magic", {0xEA, 0x9A}, false},
        {"no count", kMagic, false},
        {"truncated length", concat(kMagic, {0x01, 0x80}), false},
        {"lengths past 32 bits",
         concat(kMagic, {0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x01}), false},
        {"empty", {}, false},
    };
    for (const InitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ByteSourceSet set;
        EXPECT_EQ(set.Init(c.bytes.data(), c.bytes.size()), c.ok);
    }
}

TEST(ByteSourceSet, StreamsAreViewsInOrderAndEmptyTracksConsumption)
{
    const Bytes bytes = concat(kMagic, {0x03, 0x01, 0x00, 0x02, 'a', 'b', 'c'});
    ByteSource source(bytes.data(), bytes.size());
    ByteSourceSet set;
    ASSERT_TRUE(set.Init(source));
    EXPECT_EQ(source.Remaining(), bytes.size());
    EXPECT_EQ(set.count(), 3u);
    EXPECT_EQ(set.stream(0)->current(), bytes.data() + 8);
    EXPECT_EQ(set.stream(2)->current(), bytes.data() + 9);
    EXPECT_EQ(set.stream(2)->Remaining(), 2u);
    EXPECT_FALSE(set.Empty());
    ASSERT_TRUE(set.stream(0)->Skip(1));
    ASSERT_TRUE(set.stream(2)->Skip(1));
    EXPECT_FALSE(set.Empty());
    ASSERT_TRUE(set.stream(2)->Skip(1));
    EXPECT_TRUE(set.Empty());
}

TEST(ByteSinkSet, WriteSetStopsAtTheLastNonEmptyStream)
{
    ByteSinkSet nested;
    ASSERT_TRUE(nested.stream(0)->Write("AB", 2));
    ASSERT_TRUE(nested.stream(2)->Write("C", 1));
    ByteSinkSet outer;
    ASSERT_TRUE(outer.stream(0)->Write("h", 1));
    ASSERT_TRUE(outer.WriteSet(&nested));
    EXPECT_EQ(SinkBytes(*outer.stream(0)), (Bytes{'h', 0x03, 0x02, 0x00, 0x01, 'A', 'B'}));
    EXPECT_EQ(outer.stream(1)->size(), 0u);
    EXPECT_EQ(SinkBytes(*outer.stream(2)), (Bytes{'C'}));
    EXPECT_EQ(nested.stream(0)->data(), nullptr);

    ByteSinkSet none;
    ByteSinkSet target;
    ASSERT_TRUE(target.WriteSet(&none));
    EXPECT_EQ(SinkBytes(*target.stream(0)), (Bytes{0x00}));
}

TEST(ByteSourceSet, NestedSetsRoundTrip)
{
    ByteSinkSet inner;
    ASSERT_TRUE(inner.stream(0)->Write("in0", 3));
    ASSERT_TRUE(inner.stream(1)->WriteVarint32(300));
    ByteSinkSet outer;
    ASSERT_TRUE(outer.stream(0)->WriteVarint32(7));
    ASSERT_TRUE(outer.WriteSet(&inner));
    ASSERT_TRUE(outer.stream(1)->Write("tail", 4));
    ByteSink out;
    ASSERT_TRUE(outer.CopyTo(&out));

    ByteSourceSet read;
    ASSERT_TRUE(read.Init(out.data(), out.size()));
    uint32_t value = 0;
    ASSERT_TRUE(read.stream(0)->ReadVarint32(&value));
    EXPECT_EQ(value, 7u);
    ByteSourceSet innerRead;
    ASSERT_TRUE(read.ReadSet(&innerRead));
    char text[3];
    ASSERT_TRUE(innerRead.stream(0)->ReadBytes(text, 3));
    EXPECT_EQ(std::string(text, 3), "in0");
    ASSERT_TRUE(innerRead.stream(1)->ReadVarint32(&value));
    EXPECT_EQ(value, 300u);
    EXPECT_TRUE(innerRead.Empty());
    char tail[4];
    ASSERT_TRUE(read.stream(1)->ReadBytes(tail, 4));
    EXPECT_TRUE(read.Empty());
}

TEST(ByteSourceSet, ReadSetRejectsBadHeaders)
{
    struct Case {
        const char* name;
        Bytes stream0;
        uint32_t count;
    };
    const Case cases[] = {
        {"count above 10", {0x0B}, 10},
        {"more streams than the set", {0x03, 0x00, 0x00, 0x00}, 2},
        {"truncated length", {0x02, 0x00}, 10},
        {"length past the stream", {0x01, 0x05, 'a'}, 10},
        {"empty", {}, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = concat(kMagic, {static_cast<uint8_t>(c.count)});
        bytes.push_back(static_cast<uint8_t>(c.stream0.size()));
        bytes.insert(bytes.end(), c.count - 1, 0x00);
        bytes = concat(bytes, c.stream0);
        ByteSourceSet set;
        ASSERT_TRUE(set.Init(bytes.data(), bytes.size()));
        ByteSourceSet nested;
        EXPECT_FALSE(set.ReadSet(&nested));
    }
}

} // namespace
} // namespace vxpatch
