#ifndef VXPATCH_SUFFIXARRAY_H
#define VXPATCH_SUFFIXARRAY_H

#include <cstdint>

namespace vxpatch {

// Writes the start offsets of the n suffixes of `bytes` to `out`, in ascending
// lexicographic order (SA-IS induced sorting). Returns 0 on success, -1 for null
// arguments or a negative n, -2 when working memory cannot be allocated.
int BuildSuffixArray(const uint8_t* bytes, int32_t* out, int32_t n);

} // namespace vxpatch

#endif // VXPATCH_SUFFIXARRAY_H
