#include "labeltable.h"

#include <algorithm>
#include <new>
#include <utility>

namespace vxpatch {

namespace {

constexpr size_t kFirstSlots = 1024;

size_t SlotOf(uint32_t rva, size_t mask)
{
    return size_t(rva * 0x9E3779B1u) & mask;
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
    // Sorting the rvas next to their labels keeps the comparisons off the labels' memory.
    std::vector<std::pair<uint32_t, Label*>> byRva;
    try {
        sorted_.clear();
        sorted_.reserve(count_);
        byRva.reserve(count_);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    for (const Slot& slot : slots_) {
        if (slot.label)
            byRva.emplace_back(slot.rva, slot.label);
    }
    std::sort(byRva.begin(), byRva.end(),
              [](const std::pair<uint32_t, Label*>& a, const std::pair<uint32_t, Label*>& b) {
                  return a.first < b.first;
              });
    for (const auto& entry : byRva)
        sorted_.push_back(entry.second);
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

} // namespace vxpatch
