#ifndef VXPATCH_TRANSFORMATIONPATCHER_H
#define VXPATCH_TRANSFORMATIONPATCHER_H

#include <cstdint>

namespace vxpatch {

class ByteSink;
class ByteSinkSet;
class ByteSource;
class ByteSourceSet;

// One element of an ensemble patch, seen by the applier. The applier calls the operations in
// this order for every element: Init reads the element's parameters from the element list,
// PredictParameters writes what the patch corrects into the real parameters, Transform turns
// the old element into the form the element corrections start from, and Reassemble turns the
// corrected form back into bytes. Every operation returns a status code (1 on success).
// Owned by the applier; used by one thread.
class TransformationPatcher {
public:
    TransformationPatcher() = default;
    virtual ~TransformationPatcher() = default;
    TransformationPatcher(const TransformationPatcher&) = delete;
    TransformationPatcher& operator=(const TransformationPatcher&) = delete;

    virtual uint32_t Init(ByteSource* parameters) = 0;
    virtual uint32_t PredictParameters(ByteSinkSet* predicted) = 0;
    virtual uint32_t Transform(ByteSourceSet* parameters, ByteSinkSet* transformed) = 0;
    virtual uint32_t Reassemble(ByteSourceSet* corrected, ByteSink* ensemble) = 0;
};

} // namespace vxpatch

#endif // VXPATCH_TRANSFORMATIONPATCHER_H
