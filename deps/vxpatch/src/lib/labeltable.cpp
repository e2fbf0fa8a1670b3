#include "labeltable.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

namespace vxpatch {

namespace {

constexpr size_t kFirstSlots = 1024;

size_t SlotOf(uint32_t rva, size_t mask)
{
    return size_t(rva * 0x9E3779B1u) & mask;
}

// Below this many keys a comparison sort beats the radix sort's passes.
constexpr size_t kMinRadixKeys = size_t(1) << 12;
// The upper half is sorted on in three digits: eleven, eleven and ten bits. Tables this small
// stay in the cache, and clearing them costs nothing next to the passes.
constexpr int kDigitBits[] = {11, 11, 10};

// Sorts the n `keys` by their upper 32 bits, stably, with `scratch` holding as many keys;
// returns the array that holds the result, `keys` or `scratch`. Millions of keys sort in a few
// milliseconds. The lower halves of the keys are distinct and, within keys of one upper half,
// ascending, so that a plain sort of few keys gives the same order.
uint64_t* SortByUpperHalf(uint64_t* keys, uint64_t* scratch, size_t n)
{
    if (n < kMinRadixKeys) {
        std::sort(keys, keys + n);
        return keys;
    }
    uint64_t highest = 0;
    for (size_t i = 0; i < n; ++i)
        highest = std::max(highest, keys[i]);
    uint32_t starts[size_t(1) << 11];
    int shift = 32;
    // Digits above the highest key's are all zeros: sorting on them would keep the order.
    for (const int bits : kDigitBits) {
        if (shift > 32 && (highest >> shift) == 0)
            break;
        const uint64_t mask = (uint64_t(1) << bits) - 1;
        std::fill(starts, starts + (size_t(1) << bits), 0);
        for (size_t i = 0; i < n; ++i)
            ++starts[(keys[i] >> shift) & mask];
        uint32_t at = 0;
        for (size_t d = 0; d <= mask; ++d)
            at += std::exchange(starts[d], at);
        for (size_t i = 0; i < n; ++i)
            scratch[starts[(keys[i] >> shift) & mask]++] = keys[i];
        std::swap(keys, scratch);
        shift += bits;
    }
    return keys;
}

} // namespace

void LabelTable::Insert(Label* label)
{
    const size_t mask = slots_.size() - 1;
    size_t slot = SlotOf(label->rva, mask);
    while (slots_[slot].label)
        slot = (slot + 1) & mask;
    slots_[slot] = {label->rva, label};
}

// Doubles the table, keeping it at most half full.
bool LabelTable::Grow()
{
    std::vector<Slot> old;
    try {
        old.assign(slots_.size() ? slots_.size() * 2 : kFirstSlots, Slot{0, nullptr});
    } catch (const std::bad_alloc&) {
        return false;
    }
    old.swap(slots_);
    for (const Slot& slot : old) {
        if (slot.label)
            Insert(slot.label);
    }
    return true;
}

void LabelTable::Prefetch(uint32_t rva) const
{
    if (!slots_.empty())
        __builtin_prefetch(&slots_[SlotOf(rva, slots_.size() - 1)]);
}

Label* LabelTable::FindOrMake(uint32_t rva, ObjectArena& arena)
{
    if (!slots_.empty()) {
        const size_t mask = slots_.size() - 1;
        for (size_t slot = SlotOf(rva, mask); slots_[slot].label; slot = (slot + 1) & mask) {
            if (slots_[slot].rva == rva)
                return slots_[slot].label;
        }
    }
    if ((size_t(count_) + 1) * 2 > slots_.size() && !Grow())
        return nullptr;
    Label* label = arena.Make<Label>(rva);
    if (!label)
        return nullptr;
    label->serial = count_;
    Insert(label);
    ++count_;
    sortedValid_ = false;
    mapValid_ = false;
    return label;
}

const std::vector<Label*>* LabelTable::Sorted()
{
    if (sortedValid_)
        return &sorted_;
    // Each label as its rva above its slot's index, sorted by the rvas (which are unique): the
    // keys stay off the labels' memory.
    std::vector<uint64_t> keys;
    std::vector<uint64_t> scratch;
    try {
        sorted_.clear();
        sorted_.reserve(count_);
        keys.reserve(count_);
        scratch.resize(count_);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (slots_[i].label)
            keys.push_back(uint64_t(slots_[i].rva) << 32 | uint32_t(i));
    }
    const uint64_t* sorted = SortByUpperHalf(keys.data(), scratch.data(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i)
        sorted_.push_back(slots_[uint32_t(sorted[i])].label);
    sortedValid_ = true;
    return &sorted_;
}

bool LabelTable::RemoveRarelyUsed(uint32_t threshold)
{
    std::vector<Slot> kept;
    try {
        kept.assign(slots_.size(), Slot{0, nullptr});
    } catch (const std::bad_alloc&) {
        return false;
    }
    kept.swap(slots_);
    count_ = 0;
    for (const Slot& slot : kept) {
        if (slot.label && slot.label->count > threshold) {
            Insert(slot.label);
            ++count_;
        }
    }
    sortedValid_ = false;
    mapValid_ = false;
    return true;
}

const LabelTable::Map& LabelTable::AsMap() const
{
    if (!mapValid_) {
        map_.clear();
        for (const Slot& slot : slots_) {
            if (slot.label)
                map_.emplace(slot.rva, slot.label);
        }
        mapValid_ = true;
    }
    return map_;
}

bool IndexTargets(GrowableBuffer<uint32_t>* operands, GrowableBuffer<uint32_t>* targets)
{
    const uint32_t n = operands->size();
    GrowableBuffer<uint64_t> keys;
    GrowableBuffer<uint64_t> scratch;
    if (!keys.Reserve(n) || !scratch.Reserve(n))
        return false;
    uint32_t* values = operands->data();
    uint64_t* key = keys.FreeSpace();
    for (uint32_t i = 0; i < n; ++i)
        key[i] = uint64_t(values[i]) << 32 | i;
    const uint64_t* sorted = SortByUpperHalf(key, scratch.FreeSpace(), n);
    (sorted == key ? scratch : keys).Release();
    uint32_t index = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t rva = uint32_t(sorted[i] >> 32);
        if (i == 0 || rva != uint32_t(sorted[i - 1] >> 32)) {
            index = targets->size();
            if (!targets->PushBack(rva))
                return false;
        }
        values[uint32_t(sorted[i])] = index;
    }
    return true;
}

} // namespace vxpatch
