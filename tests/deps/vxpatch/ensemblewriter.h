#ifndef VXTEST_ENSEMBLEWRITER_H
#define VXTEST_ENSEMBLEWRITER_H

#include "executabletype.h"

#include <cstdint>
#include <vector>

// Test-side writer of ensemble patches, built from the patch library's own pieces (executable
// detection, the element patcher, stream sets, the binary diff and LZMA2 blocks), so that the
// applier's tests, the benchmarks and the release fixtures have real patches with elements.
// Everything here is single-threaded and reports failure as false.
namespace vxtest {

using Bytes = std::vector<uint8_t>;

// An executable region of a file, as listed in a patch's element list.
struct EnsembleElement {
    vxpatch::ExecutableType kind = vxpatch::EXE_UNKNOWN;
    uint32_t offset = 0;
    uint32_t length = 0;
};

// The fixed fields in front of the body.
struct EnsembleHeader {
    uint32_t magic = 0x756F43;
    uint32_t version = 20110216;
    uint32_t sourceChecksum = 0;
    uint32_t targetChecksum = 0;
    uint32_t finalSizePrediction = 0;
};

// The body's streams before they are packed into one stream set.
struct EnsembleBody {
    Bytes elementList;
    Bytes parameterCorrections;
    Bytes elementCorrections;
    Bytes ensembleCorrections;
};

struct EnsembleWriterOptions {
    // Treat executables specially; false lists no elements, so the last diff carries it all.
    bool withElements = true;
    // Layout of the three binary diffs (0 raw, 1 three LZMA2 blocks, 2 one block).
    int diffMethod = 0;
};

// Executables found in `data` at an executable's magic, in file order and not overlapping,
// with the length each header check reports.
std::vector<EnsembleElement> FindEnsembleElements(const uint8_t* data, uint32_t size);

// Writes the element list: count, kinds, then each element's offset and length.
Bytes ElementList(const std::vector<EnsembleElement>& elements);

// The body as a stream set of `streamCount` streams (4 for a well-formed patch).
Bytes BodyStreamSet(const EnsembleBody& body, uint32_t streamCount = 4);

// Header fields followed by `body` packed as one LZMA2 block.
bool PackEnsemblePatch(const EnsembleHeader& header, const Bytes& body, Bytes* patch);

// The same with the body kept in stored (uncompressed) LZMA2 chunks: cheap to write many
// times, and every byte of the body stays where a test or fuzzer put it.
bool PackEnsemblePatchStored(const EnsembleHeader& header, const Bytes& body, Bytes* patch);

// Makes everything a patch from `oldData` to `newData` holds. Old and new elements are paired
// by kind in file order; pairs that either side cannot transform are left out. `used` (when
// given) receives the old file's elements listed in the patch.
bool MakeEnsembleParts(const Bytes& oldData, const Bytes& newData,
                       const EnsembleWriterOptions& options, EnsembleHeader* header,
                       EnsembleBody* body, std::vector<EnsembleElement>* used = nullptr);

// A complete ensemble patch from `oldData` to `newData`.
bool MakeEnsemblePatch(const Bytes& oldData, const Bytes& newData,
                       const EnsembleWriterOptions& options, Bytes* patch,
                       std::vector<EnsembleElement>* used = nullptr);

} // namespace vxtest

#endif // VXTEST_ENSEMBLEWRITER_H
