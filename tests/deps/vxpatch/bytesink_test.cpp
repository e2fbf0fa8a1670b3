#include "bytesink.h"
#include "growablebuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vxpatch {
namespace {

TEST(ByteSink, FirstRealWriteAllocates256BytesThenDoubles)
{
    ByteSink sink;
    EXPECT_TRUE(sink.Write(nullptr, 0));
    EXPECT_EQ(sink.data(), nullptr);
    EXPECT_EQ(sink.capacity(), 0u);

    const std::vector<uint8_t> bytes(300, 0xAB);
    ASSERT_TRUE(sink.Write(bytes.data(), 1));
    EXPECT_EQ(sink.capacity(), 256u);
    ASSERT_TRUE(sink.Write(bytes.data(), 256));
    EXPECT_EQ(sink.capacity(), 512u);
    ASSERT_TRUE(sink.Write(bytes.data(), 300));
    EXPECT_EQ(sink.capacity(), 1024u);
    EXPECT_EQ(sink.size(), 557u);
    EXPECT_EQ(sink.data()[556], 0xAB);
}

// Growth that cannot fit 32 bits is where the sink gives up for good: every later write fails
// and Release keeps the mark, so a writer that checks only its last result still sees it.
TEST(ByteSink, FailedForGoodSurvivesWritesAndRelease)
{
    ByteSink sink;
    const uint8_t byte = 1;
    ASSERT_TRUE(sink.Write(&byte, 1));
    EXPECT_FALSE(sink.Write(&byte, 0xFFFFFFF0u));
    EXPECT_TRUE(sink.IsFailed());
    EXPECT_EQ(sink.data(), nullptr);
    EXPECT_EQ(sink.size(), 0u);

    EXPECT_FALSE(sink.Write(&byte, 1));
    EXPECT_FALSE(sink.Write(&byte, 0));
    EXPECT_FALSE(sink.WriteVarint32(5));
    EXPECT_FALSE(sink.Reserve(1));
    sink.Release();
    EXPECT_TRUE(sink.IsFailed());
    EXPECT_FALSE(sink.Write(&byte, 1));

    ByteSink destination;
    EXPECT_FALSE(destination.Append(&sink));  // nothing silently lost
    EXPECT_EQ(destination.size(), 0u);
}

TEST(ByteSink, SizeNeverPasses32Bits)
{
    ByteSink sink;
    const uint8_t byte = 1;
    ASSERT_TRUE(sink.Write(&byte, 1));
    EXPECT_FALSE(sink.Write(&byte, 0xFFFFFFFFu));
    EXPECT_FALSE(sink.IsFailed());
    EXPECT_EQ(sink.size(), 1u);
    EXPECT_FALSE(sink.Write(&byte, size_t(1) << 32));
}

TEST(ByteSink, AppendMovesBytesAndReleasesTheOther)
{
    ByteSink first;
    ByteSink second;
    ASSERT_TRUE(first.Write("ab", 2));
    ASSERT_TRUE(second.Write("cde", 3));
    ASSERT_TRUE(first.Append(&second));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(first.data()), first.size()), "abcde");
    EXPECT_EQ(second.data(), nullptr);
    EXPECT_EQ(second.size(), 0u);
    EXPECT_EQ(second.capacity(), 0u);
    EXPECT_FALSE(first.Append(&first));
}

TEST(GrowableBuffer, WordBufferGrowsFrom64ByDoubling)
{
    GrowableBuffer<uint32_t> buffer;
    for (uint32_t i = 0; i < 65; ++i)
        ASSERT_TRUE(buffer.PushBack(i));
    EXPECT_EQ(buffer.capacity(), 128u);
    EXPECT_EQ(buffer[64], 64u);
    EXPECT_TRUE(buffer.Reserve(100));
    EXPECT_EQ(buffer.capacity(), 128u);
    EXPECT_TRUE(buffer.Reserve(200));
    EXPECT_EQ(buffer.capacity(), 200u);

    GrowableBuffer<uint32_t> small;
    ASSERT_TRUE(small.Reserve(3));
    EXPECT_EQ(small.capacity(), 64u);
}

TEST(GrowableBuffer, WordCountsWhoseBytesPass32BitsFailForGood)
{
    GrowableBuffer<uint32_t> buffer;
    ASSERT_TRUE(buffer.PushBack(7));
    EXPECT_FALSE(buffer.Reserve(0x40000000u));
    EXPECT_TRUE(buffer.IsFailed());
    EXPECT_EQ(buffer.data(), nullptr);
    EXPECT_FALSE(buffer.PushBack(8));
    EXPECT_FALSE(buffer.Reserve(1));
}

} // namespace
} // namespace vxpatch
