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

// Below this many keys a comparison sort beats clearing the radix sort's two count tables.
constexpr size_t kMinRadixKeys = size_t(1) << 12;

// Sorts `keys` by their upper 32 bits, stably, in two passes of sixteen bits; `scratch` holds
// as many keys. Millions of keys sort in a few milliseconds. The lower halves of the keys are
// distinct and, within keys of one upper half, ascending, so that a plain sort of few keys gives
// the same order.
void SortByUpperHalf(std::vector<uint64_t>& keys, std::vector<uint64_t>& scratch)
{
    if (keys.size() < kMinRadixKeys) {
        std::sort(keys.begin(), keys.end());
        return;
    }
    // One count table for both passes: a fresh one would be mapped in again.
    std::vector<uint32_t> starts(size_t(1) << 16);
    for (const int shift : {32, 48}) {
        std::fill(starts.begin(), starts.end(), 0);
        for (const uint64_t key : keys)
            ++starts[(key >> shift) & 0xFFFF];
        uint32_t at = 0;
        for (uint32_t& start : starts)
            at += std::exchange(start, at);
        for (const uint64_t key : keys)
            scratch[starts[(key >> shift) & 0xFFFF]++] = key;
        keys.swap(scratch);
    }
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
    SortByUpperHalf(keys, scratch);
    for (const uint64_t key : keys)
        sorted_.push_back(slots_[uint32_t(key)].label);
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
    std::vector<uint64_t> keys;
    std::vector<uint64_t> scratch;
    try {
        keys.resize(n);
        scratch.resize(n);
    } catch (const std::bad_alloc&) {
        return false;
    }
    uint32_t* values = operands->data();
    for (uint32_t i = 0; i < n; ++i)
        keys[i] = uint64_t(values[i]) << 32 | i;
    SortByUpperHalf(keys, scratch);
    scratch = std::vector<uint64_t>();
    uint32_t index = 0;
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t rva = uint32_t(keys[i] >> 32);
        if (i == 0 || rva != uint32_t(keys[i - 1] >> 32)) {
            index = targets->size();
            if (!targets->PushBack(rva))
                return false;
        }
        values[uint32_t(keys[i])] = index;
    }
    return true;
}

} // namespace vxpatch
