#ifndef VXPATCH_PATCHERX86_32_H
#define VXPATCH_PATCHERX86_32_H

#include "transformationpatcher.h"

#include <cstdint>

namespace vxpatch {

class MappedFile;

// The patcher of every executable element kind: the element is a range of the old file that
// is disassembled into an encoded program (the detected executable type decides how), and the
// corrected encoded program is assembled back into bytes. It borrows the old bytes, which must
// outlive it. Used by one thread.
class PatcherX86_32 : public TransformationPatcher {
public:
    PatcherX86_32(const uint8_t* base, uint32_t baseLength);

    // Reads the element's offset and length; 12 when either is missing or the range leaves
    // the old bytes.
    uint32_t Init(ByteSource* parameters) override;
    // Writes nothing: the element has no parameters to predict.
    uint32_t PredictParameters(ByteSinkSet* predicted) override;
    // Writes the element's encoded program into `transformed`: 2 when parameters are left
    // over or encoding fails, 24/25 from disassembly, 28 from label trimming, 20 on a failed
    // write.
    uint32_t Transform(ByteSourceSet* parameters, ByteSinkSet* transformed) override;
    // Appends the bytes of the encoded program held by `corrected`: 23 when it does not parse,
    // 26 when it does not assemble.
    uint32_t Reassemble(ByteSourceSet* corrected, ByteSink* ensemble) override;

    // Tells that the old bytes are the view of `file`, whose pages are then let go once the
    // element is disassembled: its encoded program holds all it needs of them.
    void SetOldFile(MappedFile* file) { oldFile_ = file; }

    uint32_t elementOffset() const { return offset_; }
    uint32_t elementLength() const { return length_; }

private:
    const uint8_t* base_;
    uint32_t baseLength_;
    uint32_t offset_ = 0;
    uint32_t length_ = 0;
    MappedFile* oldFile_ = nullptr;
};

} // namespace vxpatch

#endif // VXPATCH_PATCHERX86_32_H
