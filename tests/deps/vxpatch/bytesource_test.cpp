#include "bytesink.h"
#include "bytesource.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vxpatch {
namespace {

using Bytes = std::vector<uint8_t>;

struct VarintCase {
    Bytes bytes;
    bool ok;
    uint32_t value;
};

TEST(ByteSource, DecodesVarintsByTheFifthByteRules)
{
    const VarintCase cases[] = {
        {{0x7F}, true, 127},
        {{0x80, 0x01}, true, 128},
        {{0x80, 0x00}, true, 0},  // longer than needed is accepted
        {{0x80, 0x80, 0x80, 0x80, 0x01}, true, 1u << 28},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, true, 0xFFFFFFFF},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, true, 0xFFFFFFFF},  // bits 4-6 of byte 5 dropped
        {{0x80, 0x80, 0x80, 0x80, 0x10}, true, 0},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00}, false, 0},  // a sixth byte is never read
        {{0x80, 0x80}, false, 0},
        {{}, false, 0},
    };
    for (const VarintCase& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.bytes));
        ByteSource source(c.bytes.data(), c.bytes.size());
        uint32_t value = 12345;
        ASSERT_EQ(source.ReadVarint32(&value), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
            EXPECT_EQ(source.Remaining(), 0u);
        } else {
            EXPECT_EQ(value, 12345u);
            EXPECT_EQ(source.current(), source.start());
        }
    }
}

TEST(ByteSource, RejectsSixthVarintByte)
{
    const Bytes bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00};
    uint32_t value = 0;
    EXPECT_EQ(ParseVarint32(bytes.data(), bytes.data() + bytes.size(), &value), nullptr);
    EXPECT_EQ(ParseVarint32(bytes.data(), bytes.data() + 4, &value), nullptr);
    EXPECT_EQ(ParseVarint32(bytes.data() + 4, bytes.data() + 6, &value), bytes.data() + 6);
}

TEST(ByteSource, VarintsRoundTripThroughTheSinkInShortestForm)
{
    struct Case {
        uint32_t value;
        size_t length;
    };
    const Case cases[] = {{0, 1},          {127, 1},          {128, 2},        {(1u << 14) - 1, 2},
                          {1u << 14, 3},   {(1u << 21) - 1, 3}, {1u << 21, 4}, {(1u << 28) - 1, 4},
                          {1u << 28, 5},   {0xFFFFFFFF, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        ByteSink sink;
        ASSERT_TRUE(sink.WriteVarint32(c.value));
        ASSERT_EQ(sink.size(), c.length);
        EXPECT_EQ(sink.data()[c.length - 1] & 0x80, 0);
        ByteSource source;
        source.Init(sink);
        uint32_t value = 0;
        ASSERT_TRUE(source.ReadVarint32(&value));
        EXPECT_EQ(value, c.value);
    }
    ByteSink sink;
    ASSERT_TRUE(sink.WriteVarint32(1u << 28));
    EXPECT_EQ(Bytes(sink.data(), sink.data() + sink.size()), (Bytes{0x80, 0x80, 0x80, 0x80, 0x01}));
}

TEST(ByteSource, SignedVarintsUseZigzag)
{
    const std::pair<int32_t, uint32_t> cases[] = {
        {0, 0}, {-1, 1}, {1, 2}, {-2, 3}, {0x7FFFFFFF, 0xFFFFFFFE}, {INT32_MIN, 0xFFFFFFFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(ZigzagEncode(c.first), c.second);
        EXPECT_EQ(ZigzagDecode(c.second), c.first);
        ByteSink sink;
        ASSERT_TRUE(sink.WriteVarint32Signed(c.first));
        ByteSource source;
        source.Init(sink);
        uint32_t raw = 0;
        ASSERT_TRUE(source.ReadVarint32(&raw));
        EXPECT_EQ(raw, c.second);
    }
    const uint8_t three = 0x03;
    ByteSource source(&three, 1);
    int32_t value = 0;
    ASSERT_TRUE(source.ReadVarint32Signed(&value));
    EXPECT_EQ(value, -2);
}

TEST(ByteSource, ReadsAndSubstreamsStayInsideTheRange)
{
    const Bytes bytes = {1, 2, 3, 4, 5, 6};
    ByteSource source(bytes.data(), bytes.size());
    uint8_t two[2] = {};
    ASSERT_TRUE(source.ReadBytes(two, 2));
    EXPECT_EQ(two[1], 2);
    EXPECT_FALSE(source.ReadBytes(two, 5));
    EXPECT_FALSE(source.Skip(5));
    EXPECT_EQ(source.Remaining(), 4u);

    ByteSource shared;
    EXPECT_TRUE(source.ShareSubstream(1, 3, &shared));
    EXPECT_EQ(shared.current(), bytes.data() + 3);
    EXPECT_EQ(shared.Remaining(), 3u);
    EXPECT_TRUE(source.ShareSubstream(4, 0, &shared));
    EXPECT_FALSE(source.ShareSubstream(5, 0, &shared));
    EXPECT_FALSE(source.ShareSubstream(1, 4, &shared));
    EXPECT_FALSE(source.ShareSubstream(1, SIZE_MAX, &shared));  // no wrap-around
    EXPECT_EQ(source.Remaining(), 4u);

    ByteSource next;
    EXPECT_FALSE(source.ReadSubstream(5, &next));
    ASSERT_TRUE(source.ReadSubstream(3, &next));
    EXPECT_EQ(next.Remaining(), 3u);
    EXPECT_EQ(*next.current(), 3);
    EXPECT_EQ(source.Remaining(), 1u);
    EXPECT_FALSE(source.Skip(SIZE_MAX));
    EXPECT_TRUE(source.Skip(1));
    EXPECT_TRUE(source.Empty());
}

TEST(ByteSource, DefaultSourceIsEmpty)
{
    ByteSource source;
    uint32_t value = 0;
    EXPECT_EQ(source.Remaining(), 0u);
    EXPECT_FALSE(source.ReadVarint32(&value));
    EXPECT_TRUE(source.ReadBytes(nullptr, 0));
}

} // namespace
} // namespace vxpatch
