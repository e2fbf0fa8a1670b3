#include "suffixarray.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<int32_t> NaiveSuffixArray(const std::vector<uint8_t>& text)
{
    std::vector<int32_t> order(text.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
        return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b,
                                            text.end());
    });
    return order;
}

void ExpectMatchesNaiveSort(const std::vector<uint8_t>& text, const std::string& label)
{
    SCOPED_TRACE(label + ", n=" + std::to_string(text.size()));
    // One slot past the end stays untouched.
    std::vector<int32_t> built(text.size() + 1, -7);
    ASSERT_EQ(0, vxpatch::BuildSuffixArray(text.data(), built.data(),
                                           static_cast<int32_t>(text.size())));
    EXPECT_EQ(-7, built.back());
    built.pop_back();
    EXPECT_EQ(NaiveSuffixArray(text), built);
}

std::vector<uint8_t> RandomBytes(std::mt19937& rng, size_t n, int alphabet)
{
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng() % alphabet);
    return bytes;
}

TEST(BuildSuffixArray, MatchesNaiveSortOnRandomInput)
{
    std::mt19937 rng(7);
    for (int alphabet : {2, 3, 4, 16, 256}) {
        for (size_t n : {2, 3, 5, 17, 64, 255, 1000, 4099}) {
            ExpectMatchesNaiveSort(RandomBytes(rng, n, alphabet),
                                   "random, alphabet " + std::to_string(alphabet));
        }
    }
}

TEST(BuildSuffixArray, MatchesNaiveSortOnRepetitiveInput)
{
    std::mt19937 rng(11);
    for (size_t period : {1, 2, 3, 7, 64}) {
        const std::vector<uint8_t> unit = RandomBytes(rng, period, 256);
        for (size_t n : {10, 257, 3000}) {
            std::vector<uint8_t> text(n);
            for (size_t i = 0; i < n; ++i)
                text[i] = unit[i % period];
            ExpectMatchesNaiveSort(text, "period " + std::to_string(period));
            // A single change breaks the period and forces deeper recursion.
            text[n / 2] ^= 0x55;
            ExpectMatchesNaiveSort(text, "period with a change " + std::to_string(period));
        }
    }
    ExpectMatchesNaiveSort({'m', 'i', 's', 's', 'i', 's', 's', 'i', 'p', 'p', 'i'}, "mississippi");
}

TEST(BuildSuffixArray, MatchesNaiveSortOnAllEqualInput)
{
    for (uint8_t value : {0, 1, 0x80, 0xFF}) {
        for (size_t n : {2, 3, 100, 5000})
            ExpectMatchesNaiveSort(std::vector<uint8_t>(n, value), "all " + std::to_string(value));
    }
}

TEST(BuildSuffixArray, HandlesTrivialLengthsAndRejectsBadArguments)
{
    const uint8_t byte = 42;
    int32_t out[2] = {-7, -7};
    EXPECT_EQ(0, vxpatch::BuildSuffixArray(&byte, out, 0));
    EXPECT_EQ(-7, out[0]);
    EXPECT_EQ(0, vxpatch::BuildSuffixArray(&byte, out, 1));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(-7, out[1]);
    EXPECT_EQ(-1, vxpatch::BuildSuffixArray(nullptr, out, 1));
    EXPECT_EQ(-1, vxpatch::BuildSuffixArray(&byte, nullptr, 1));
    EXPECT_EQ(-1, vxpatch::BuildSuffixArray(&byte, out, -1));
}

} // namespace
