#ifndef VXPATCH_ENSEMBLEAPPLIER_H
#define VXPATCH_ENSEMBLEAPPLIER_H

#include "bytesink.h"
#include "growablebuffer.h"
#include "mappedfile.h"

#include <cstdint>

namespace vxpatch {

class BackgroundLzma2Decoder;
class ByteSinkSet;
class ByteSource;
class ByteSourceSet;
class TransformationPatcher;

// Applies one ensemble patch:
//   varint magic 0x756F43, varint version 20110216, varint checksum of the old file,
//   varint checksum of the new file, varint final size prediction,
//   then one LZMA2 block up to the end holding a stream set of at least 4 streams:
//     0 element list (count, kinds, then each element's parameters),
//     1 binary diff: predicted parameters -> real parameters,
//     2 binary diff: transformed old elements -> encoded programs of the new elements,
//     3 binary diff: old file followed by the reassembled elements -> new file.
// The applier borrows the old bytes and owns its patchers and correction buffers. It lives on
// the caller's stack for one application, on the caller's thread; each step returns a status
// code (1 on success) and nothing is logged.
class EnsembleApplier {
public:
    static constexpr uint32_t kMagic = 0x756F43;
    static constexpr uint32_t kVersion = 20110216;

    EnsembleApplier() = default;
    ~EnsembleApplier();
    EnsembleApplier(const EnsembleApplier&) = delete;
    EnsembleApplier& operator=(const EnsembleApplier&) = delete;

    // Reads the header fields: 5 for a wrong or missing magic, 6 for the version, 7 when a
    // checksum or the size prediction is missing.
    uint32_t ReadHeader(ByteSource* patch);
    // Reads the element kinds and binds one patcher per element to the old bytes, then lets
    // each read its parameters; the list must be consumed exactly (else 7).
    uint32_t ReadElementPatchers(ByteSource* elements);

    // Runs the whole application: header, old checksum, body, the three corrections, new
    // checksum. The new bytes are appended to `output`, which the caller discards unless 1
    // is returned.
    uint32_t Apply(ByteSource* oldData, ByteSource* patch, ByteSink* output);
    // Tells that the old data of Apply is the view of `file`, whose pages each element's patcher
    // then lets go once the element is disassembled, so that they do not count against the
    // memory the application holds until the last diff reads them again.
    void SetOldFile(MappedFile* file) { oldFile_ = file; }

    uint32_t sourceChecksum() const { return sourceChecksum_; }
    uint32_t targetChecksum() const { return targetChecksum_; }
    uint32_t finalSizePrediction() const { return finalSizePrediction_; }

private:
    // Everything after the old file's checksum, as the body's streams become available.
    uint32_t ApplyBody(BackgroundLzma2Decoder* body, ByteSink* output);
    uint32_t PredictParameters(ByteSinkSet* predicted);
    uint32_t Transform(ByteSourceSet* parameters, ByteSinkSet* transformed);
    uint32_t Reassemble(ByteSourceSet* elements, ByteSink* ensemble);

    const uint8_t* base_ = nullptr;
    uint32_t baseLength_ = 0;
    uint32_t sourceChecksum_ = 0;
    uint32_t targetChecksum_ = 0;
    uint32_t finalSizePrediction_ = 0;
    GrowableBuffer<TransformationPatcher*> patchers_;
    ByteSink correctedParameters_;
    ByteSink correctedElements_;
    MappedFile* oldFile_ = nullptr;
};

// Applies the ensemble patch in `patch` to the remaining bytes of `oldData`, appending the new
// bytes to `output` (expected empty). Returns 1 or the failing step's status.
uint32_t ApplyEnsemblePatchStreams(ByteSource* oldData, ByteSource* patch, ByteSink* output);

// Applies the patch file to the old file and writes the new file, only once every step and
// both checksums succeeded. 3: the patch cannot be mapped; 4: the old file cannot be mapped or
// the new file not written whole (a partly written file is removed); otherwise the status of
// the application, with nothing written.
uint32_t ApplyEnsemblePatchFiles(const char* oldPath, const char* patchPath, const char* newPath);
// The same, writing the new file through `newFd` (open for writing, kept open; the caller
// removes what a failed write left).
uint32_t ApplyEnsemblePatchToDescriptor(const char* oldPath, const char* patchPath, int newFd);

} // namespace vxpatch

#endif // VXPATCH_ENSEMBLEAPPLIER_H
