#include "suffixarray.h"

#include <algorithm>
#include <memory>
#include <new>

// SA-IS: sort the LMS substrings by induction, name them, sort the reduced string
// (recursively when names repeat), then induce the full order from the sorted LMS
// suffixes. The string is treated as followed by a virtual sentinel smaller than
// every character, so position n - 1 is always L-type.

namespace vxpatch {
namespace {

constexpr int kNoMemory = -2;

template <typename T> std::unique_ptr<T[]> Allocate(size_t count)
{
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// types[i] is 1 for S-type suffixes, 0 for L-type.
template <typename Char> void ClassifySuffixes(const Char* s, int32_t n, uint8_t* types)
{
    types[n - 1] = 0;
    for (int32_t i = n - 2; i >= 0; --i) {
        // Branch-free: on binaries the type flips too often to predict.
        types[i] = static_cast<uint8_t>((s[i] < s[i + 1]) | ((s[i] == s[i + 1]) & types[i + 1]));
    }
}

inline bool IsLms(const uint8_t* types, int32_t i)
{
    return i > 0 && types[i] && !types[i - 1];
}

// IsLms for 0 < i < n, without branches.
inline int32_t LmsFlag(const uint8_t* types, int32_t i)
{
    return types[i] & (types[i - 1] ^ 1);
}

template <typename Char> void CountCharacters(const Char* s, int32_t n, int32_t* counts, int32_t k)
{
    std::fill(counts, counts + k, 0);
    for (int32_t i = 0; i < n; ++i)
        ++counts[s[i]];
}

void BucketStarts(const int32_t* counts, int32_t* buckets, int32_t k)
{
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
        buckets[c] = sum;
        sum += counts[c];
    }
}

void BucketEnds(const int32_t* counts, int32_t* buckets, int32_t k)
{
    int32_t sum = 0;
    for (int32_t c = 0; c < k; ++c) {
        sum += counts[c];
        buckets[c] = sum;
    }
}

// The induction passes jump around the text; fetching a little ahead hides most of
// the cache misses.
constexpr int32_t kPrefetch = 32;

template <typename Char> inline void Prefetch(const Char* s, int32_t j)
{
    if (j >= 0)
        __builtin_prefetch(s + j);
}

// Places every L-type suffix, scanning left to right from the seeds already in sa.
template <typename Char>
void InduceL(
    const Char* s, int32_t* sa, int32_t n, const int32_t* counts, int32_t* buckets, int32_t k)
{
    BucketStarts(counts, buckets, k);
    sa[buckets[s[n - 1]]++] = n - 1; // induced by the sentinel
    for (int32_t i = 0; i < n; ++i) {
        if (i + kPrefetch < n)
            Prefetch(s, sa[i + kPrefetch] - 1);
        // Only LMS and L-type entries are seen here, so j is L-type exactly when its
        // character is not below its successor's.
        const int32_t j = sa[i] - 1;
        if (j >= 0 && s[j] >= s[j + 1])
            sa[buckets[s[j]]++] = j;
    }
}

// Places every S-type suffix, scanning right to left.
template <typename Char>
void InduceS(
    const Char* s, int32_t* sa, int32_t n, const int32_t* counts, int32_t* buckets, int32_t k)
{
    BucketEnds(counts, buckets, k);
    for (int32_t i = n - 1; i >= 0; --i) {
        if (i >= kPrefetch)
            Prefetch(s, sa[i - kPrefetch] - 1);
        // The entry at i is S-type exactly when this pass already wrote it, that is
        // when i is at or above its bucket's write position.
        const int32_t j = sa[i] - 1;
        if (j < 0)
            continue;
        const auto c0 = s[j];
        const auto c1 = s[j + 1];
        if (c0 < c1 || (c0 == c1 && buckets[c1] <= i))
            sa[--buckets[c0]] = j;
    }
}

// True when the LMS substrings starting at a and b differ (characters or types).
template <typename Char>
bool LmsSubstringsDiffer(const Char* s, const uint8_t* types, int32_t n, int32_t a, int32_t b)
{
    for (int32_t d = 0;; ++d) {
        if (a + d == n || b + d == n)
            return true; // only one reaches the sentinel
        if (s[a + d] != s[b + d] || types[a + d] != types[b + d])
            return true;
        if (d > 0 && (IsLms(types, a + d) || IsLms(types, b + d))) {
            return !(IsLms(types, a + d) && IsLms(types, b + d));
        }
    }
}

template <typename Char> int Sais(const Char* s, int32_t* sa, int32_t n, int32_t k)
{
    if (n == 1) {
        sa[0] = 0;
        return 0;
    }
    auto types = Allocate<uint8_t>(n);
    auto counts = Allocate<int32_t>(k);
    auto buckets = Allocate<int32_t>(k);
    if (!types || !counts || !buckets)
        return kNoMemory;
    ClassifySuffixes(s, n, types.get());
    CountCharacters(s, n, counts.get(), k);

    // Stage 1: sort the LMS substrings.
    std::fill(sa, sa + n, -1);
    BucketEnds(counts.get(), buckets.get(), k);
    for (int32_t i = n - 1; i > 0; --i) {
        if (IsLms(types.get(), i))
            sa[--buckets[s[i]]] = i;
    }
    InduceL(s, sa, n, counts.get(), buckets.get(), k);
    InduceS(s, sa, n, counts.get(), buckets.get(), k);

    int32_t lmsCount = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t pos = sa[i];
        sa[lmsCount] = pos;
        lmsCount += pos > 0 ? LmsFlag(types.get(), pos) : 0;
    }

    // Stage 2: name the sorted LMS substrings; names go to sa[lmsCount + pos / 2].
    std::fill(sa + lmsCount, sa + n, -1);
    int32_t names = 0;
    int32_t previous = -1;
    for (int32_t i = 0; i < lmsCount; ++i) {
        const int32_t pos = sa[i];
        if (previous < 0 || LmsSubstringsDiffer(s, types.get(), n, pos, previous)) {
            ++names;
            previous = pos;
        }
        sa[lmsCount + pos / 2] = names - 1;
    }
    int32_t* reduced = sa + n - lmsCount;
    for (int32_t i = n - 1, j = n - 1; i >= lmsCount; --i) {
        if (sa[i] >= 0)
            sa[j--] = sa[i];
    }

    if (names < lmsCount) {
        counts.reset();
        buckets.reset();
        const int rc = Sais<int32_t>(reduced, sa, lmsCount, names);
        if (rc != 0)
            return rc;
        counts = Allocate<int32_t>(k);
        buckets = Allocate<int32_t>(k);
        if (!counts || !buckets)
            return kNoMemory;
        CountCharacters(s, n, counts.get(), k);
    } else {
        for (int32_t i = 0; i < lmsCount; ++i)
            sa[reduced[i]] = i;
    }

    // Stage 3: seed the sorted LMS suffixes and induce the rest.
    for (int32_t i = 1, j = 0; j < lmsCount; ++i) {
        reduced[j] = i;
        j += LmsFlag(types.get(), i);
    }
    for (int32_t i = 0; i < lmsCount; ++i)
        sa[i] = reduced[sa[i]];
    std::fill(sa + lmsCount, sa + n, -1);
    BucketEnds(counts.get(), buckets.get(), k);
    for (int32_t i = lmsCount - 1; i >= 0; --i) {
        const int32_t pos = sa[i];
        sa[i] = -1;
        sa[--buckets[s[pos]]] = pos;
    }
    InduceL(s, sa, n, counts.get(), buckets.get(), k);
    InduceS(s, sa, n, counts.get(), buckets.get(), k);
    return 0;
}

} // namespace

int BuildSuffixArray(const uint8_t* bytes, int32_t* out, int32_t n)
{
    if (!bytes || !out || n < 0)
        return -1;
    if (n == 0)
        return 0;
    return Sais<uint8_t>(bytes, out, n, 256);
}

} // namespace vxpatch
