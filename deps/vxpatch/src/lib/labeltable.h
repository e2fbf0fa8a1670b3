#ifndef VXPATCH_LABELTABLE_H
#define VXPATCH_LABELTABLE_H

#include <cstdint>
#include <map>
#include <vector>

#include "growablebuffer.h"
#include "label.h"
#include "objectarena.h"

namespace vxpatch {

// The labels of one kind (absolute or relative) of a disassembled program, by rva. Lookups go
// through an open-addressing hash table, so that a large image's hundreds of thousands of
// targets cost no tree walks; the ascending order is made by one sort when it is asked for.
// Labels live in the program's arena. Memory failures are reported as null or false.
class LabelTable {
public:
    using Map = std::map<uint32_t, Label*>;

    // The label at `rva`, made (index -1, count 0) when absent; null when memory runs out.
    Label* FindOrMake(uint32_t rva, ObjectArena& arena);

    // Asks the memory for the slot where a lookup of `rva` starts, ahead of the lookup.
    void Prefetch(uint32_t rva) const;

    uint32_t size() const { return count_; }
    // All labels in ascending rva order; null when memory runs out.
    const std::vector<Label*>* Sorted();
    // Drops every label whose count is at most `threshold`. False when memory runs out.
    bool RemoveRarelyUsed(uint32_t threshold);
    // The labels as an ordered map, made on demand for inspection.
    const Map& AsMap() const;

private:
    // A slot keeps its label's rva, so that a probe reads no label.
    struct Slot {
        uint32_t rva;
        Label* label;
    };

    bool Grow();
    void Insert(Label* label);

    std::vector<Slot> slots_;
    uint32_t count_ = 0;
    std::vector<Label*> sorted_;
    bool sortedValid_ = false;
    mutable Map map_;
    mutable bool mapValid_ = false;
};

// Turns `operands`, each the target rva of one reference, into indexes into `targets` (empty),
// which receives the distinct rvas in ascending order: the indexes that numbered labels of those
// targets would have, without a table to look each one up in. False when memory runs out.
bool IndexTargets(GrowableBuffer<uint32_t>* operands, GrowableBuffer<uint32_t>* targets);

} // namespace vxpatch

#endif // VXPATCH_LABELTABLE_H
