#ifndef VXPATCH_INTERVALINDEX_H
#define VXPATCH_INTERVALINDEX_H

#include <cstdint>
#include <iterator>
#include <map>

namespace vxpatch {

// Disjoint half-open intervals of 64-bit keys, each tagged with a number.
// Painting an interval overwrites whatever it covers, so painting a table's
// entries from the last to the first answers "the first entry in table order
// that holds x" in logarithmic time, however many entries overlap. The
// disassemblers use it to keep lookups over header tables, whose sizes come
// from the image, from growing with the square of the image size. Allocation
// failures throw std::bad_alloc, which the disassemblers catch.
class IntervalIndex {
public:
    void Paint(uint64_t begin, uint64_t end, uint32_t tag)
    {
        if (begin >= end)
            return;
        auto it = parts_.lower_bound(begin);
        if (it != parts_.begin()) {
            auto previous = std::prev(it);
            if (previous->second.end > begin) {
                if (previous->second.end > end)
                    parts_.emplace(end, Part{previous->second.end, previous->second.tag});
                previous->second.end = begin;
            }
        }
        while (it != parts_.end() && it->first < end) {
            if (it->second.end > end)
                parts_.emplace(end, Part{it->second.end, it->second.tag});
            it = parts_.erase(it);
        }
        parts_.emplace(begin, Part{end, tag});
    }

    // The tag of the interval holding x; false when none does.
    bool Find(uint64_t x, uint32_t* tag) const
    {
        auto it = parts_.upper_bound(x);
        if (it == parts_.begin())
            return false;
        --it;
        if (x >= it->second.end)
            return false;
        *tag = it->second.tag;
        return true;
    }

    bool Contains(uint64_t x) const
    {
        uint32_t tag = 0;
        return Find(x, &tag);
    }

    void Clear() { parts_.clear(); }

private:
    struct Part {
        uint64_t end;
        uint32_t tag;
    };
    std::map<uint64_t, Part> parts_;
};

} // namespace vxpatch

#endif // VXPATCH_INTERVALINDEX_H
