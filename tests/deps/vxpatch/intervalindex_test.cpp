#include "intervalindex.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace vxpatch {
namespace {

struct Entry {
    uint64_t begin;
    uint64_t end;
};

// The answer the index must give: the first entry in table order holding x.
bool FirstHolding(const std::vector<Entry>& table, uint64_t x, uint32_t* tag)
{
    for (uint32_t i = 0; i < table.size(); ++i) {
        if (table[i].begin <= x && x < table[i].end) {
            *tag = i;
            return true;
        }
    }
    return false;
}

TEST(IntervalIndex, PaintedBackwardsFindsTheFirstEntryInTableOrder)
{
    std::mt19937 random(5);
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        std::vector<Entry> table(1 + random() % 12);
        for (Entry& e : table) {
            e.begin = random() % 100;
            e.end = e.begin + random() % 40;  // empty entries included
        }
        IntervalIndex index;
        for (uint32_t i = uint32_t(table.size()); i-- > 0;)
            index.Paint(table[i].begin, table[i].end, i);
        for (uint64_t x = 0; x < 150; ++x) {
            uint32_t expected = 0;
            uint32_t found = 0;
            const bool holds = FirstHolding(table, x, &expected);
            ASSERT_EQ(index.Find(x, &found), holds) << x;
            if (holds) {
                ASSERT_EQ(found, expected) << x;
            }
        }
    }
}

TEST(IntervalIndex, HandlesTheTopOfThe32BitRange)
{
    IntervalIndex index;
    index.Paint(0xFFFFFF00u, 0x100000000ull, 7);
    EXPECT_TRUE(index.Contains(0xFFFFFFFFu));
    EXPECT_FALSE(index.Contains(0xFFFFFEFFu));
    EXPECT_FALSE(index.Contains(0x100000000ull));
}

} // namespace
} // namespace vxpatch
