#ifndef VXPATCH_LABEL_H
#define VXPATCH_LABEL_H

#include <cstdint>

namespace vxpatch {

// The target of absolute or relative references in a disassembled program.
// Owned by the label map of the program that holds it.
struct Label {
    explicit Label(uint32_t targetRva) : rva(targetRva) {}

    uint32_t rva = 0;
    // Position in the encoded target table; -1 until NumberLabels runs.
    int32_t index = -1;
    // References made through the program's find-or-make calls.
    uint32_t count = 0;
    // Order of making within its program's table of labels of this kind.
    uint32_t serial = 0;
};

} // namespace vxpatch

#endif // VXPATCH_LABEL_H
