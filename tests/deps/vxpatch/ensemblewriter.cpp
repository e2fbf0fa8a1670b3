#include "ensemblewriter.h"

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"
#include "crc.h"
#include "executabledetection.h"
#include "lzmaioout.h"
#include "patcherx86_32.h"
#include "patchstatus.h"
#include "vxdiff.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace vxtest {

namespace {

using vxpatch::ByteSink;
using vxpatch::ByteSinkSet;
using vxpatch::ByteSource;
using vxpatch::ByteSourceSet;
using vxpatch::PatcherX86_32;

Bytes ToBytes(const ByteSink& sink)
{
    return sink.size() ? Bytes(sink.data(), sink.data() + sink.size()) : Bytes();
}

// Where a header check is worth running: ELF, MZ and thin Mach-O magics.
bool AtExecutableMagic(const uint8_t* p, uint32_t left)
{
    if (left >= 2 && p[0] == 'M' && p[1] == 'Z')
        return true;
    if (left < 4)
        return false;
    if (std::memcmp(p, "\x7f" "ELF", 4) == 0)
        return true;
    const uint32_t le = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16
        | uint32_t(p[3]) << 24;
    return le == 0xFEEDFACEu || le == 0xFEEDFACFu || le == 0xCEFAEDFEu || le == 0xCFFAEDFEu;
}

// A patcher of `file` that has read the element's parameters as the applier's would.
bool BindPatcher(const EnsembleElement& element, PatcherX86_32* patcher)
{
    ByteSink parameters;
    if (!parameters.WriteVarint32(element.offset) || !parameters.WriteVarint32(element.length))
        return false;
    ByteSource source;
    source.Init(parameters);
    return patcher->Init(&source) == vxpatch::PATCH_OK;
}

// The element's encoded program, written exactly as the applier's transform writes it.
bool TransformElement(const Bytes& file, const EnsembleElement& element, ByteSinkSet* out)
{
    PatcherX86_32 patcher(file.data(), uint32_t(file.size()));
    if (!BindPatcher(element, &patcher))
        return false;
    ByteSourceSet noParameters;
    return patcher.Transform(&noParameters, out) == vxpatch::PATCH_OK;
}

bool Serialise(ByteSinkSet* set, Bytes* out)
{
    ByteSink sink;
    if (!set->CopyTo(&sink))
        return false;
    *out = ToBytes(sink);
    return true;
}

bool Diff(const uint8_t* oldData, size_t oldSize, const uint8_t* newData, size_t newSize,
          int method, Bytes* out)
{
    ByteSource oldSource(oldData, oldSize);
    ByteSource newSource(newData, newSize);
    ByteSink sink;
    if (!vxpatch::MakeVxdiffPatch(&oldSource, &newSource, &sink, false, method))
        return false;
    *out = ToBytes(sink);
    return true;
}

bool Diff(const Bytes& oldData, const Bytes& newData, int method, Bytes* out)
{
    return Diff(oldData.data(), oldData.size(), newData.data(), newData.size(), method, out);
}

// One old element with the new element it becomes, both transformed.
struct ElementPair {
    EnsembleElement oldElement;
    EnsembleElement newElement;
    ByteSinkSet oldProgram;
    ByteSinkSet newProgram;
};

// Pairs the i-th old element of a kind with the i-th new element of that kind.
std::vector<std::unique_ptr<ElementPair>> PairElements(const Bytes& oldData, const Bytes& newData)
{
    const auto oldElements = FindEnsembleElements(oldData.data(), uint32_t(oldData.size()));
    auto newElements = FindEnsembleElements(newData.data(), uint32_t(newData.size()));
    std::vector<std::unique_ptr<ElementPair>> pairs;
    for (const EnsembleElement& oldElement : oldElements) {
        auto match = std::find_if(newElements.begin(), newElements.end(),
                                  [&](const EnsembleElement& e) { return e.kind == oldElement.kind; });
        if (match == newElements.end())
            continue;
        auto pair = std::make_unique<ElementPair>();
        pair->oldElement = oldElement;
        pair->newElement = *match;
        newElements.erase(newElements.begin(), match + 1);
        if (TransformElement(oldData, pair->oldElement, &pair->oldProgram)
            && TransformElement(newData, pair->newElement, &pair->newProgram))
            pairs.push_back(std::move(pair));
    }
    return pairs;
}

bool WriteHeader(const EnsembleHeader& header, ByteSink* sink)
{
    return sink->WriteVarint32(header.magic) && sink->WriteVarint32(header.version)
        && sink->WriteVarint32(header.sourceChecksum) && sink->WriteVarint32(header.targetChecksum)
        && sink->WriteVarint32(header.finalSizePrediction);
}

// An LZMA2 block of stored chunks: property byte 0 (the smallest dictionary), the unpacked
// size, chunks of at most 64 KiB (control 1 resets the dictionary, 2 continues), then the end
// marker 0.
bool WriteStoredLzma2Block(const Bytes& data, ByteSink* sink)
{
    const uint8_t property = 0;
    if (!sink->Write(&property, 1) || !sink->WriteVarint32(uint32_t(data.size())))
        return false;
    const size_t kChunk = 0x10000;
    for (size_t pos = 0; pos < data.size(); pos += kChunk) {
        const size_t n = std::min(kChunk, data.size() - pos);
        const uint8_t control[3] = {uint8_t(pos == 0 ? 1 : 2), uint8_t((n - 1) >> 8),
                                    uint8_t((n - 1) & 0xFF)};
        if (!sink->Write(control, 3) || !sink->Write(data.data() + pos, n))
            return false;
    }
    const uint8_t end = 0;
    return sink->Write(&end, 1);
}

} // namespace

std::vector<EnsembleElement> FindEnsembleElements(const uint8_t* data, uint32_t size)
{
    std::vector<EnsembleElement> elements;
    uint32_t pos = 0;
    while (pos < size) {
        vxpatch::ExecutableType type = vxpatch::EXE_UNKNOWN;
        uint32_t length = 0;
        if (AtExecutableMagic(data + pos, size - pos)
            && vxpatch::DetectExecutable(data + pos, size - pos, &type, &length)
                == vxpatch::PATCH_OK
            && length > 0) {
            elements.push_back({type, pos, length});
            pos += length;
        } else {
            ++pos;
        }
    }
    return elements;
}

Bytes ElementList(const std::vector<EnsembleElement>& elements)
{
    ByteSink sink;
    sink.WriteVarint32(uint32_t(elements.size()));
    for (const EnsembleElement& element : elements)
        sink.WriteVarint32(element.kind);
    for (const EnsembleElement& element : elements) {
        sink.WriteVarint32(element.offset);
        sink.WriteVarint32(element.length);
    }
    return ToBytes(sink);
}

Bytes BodyStreamSet(const EnsembleBody& body, uint32_t streamCount)
{
    const Bytes* streams[] = {&body.elementList, &body.parameterCorrections,
                              &body.elementCorrections, &body.ensembleCorrections};
    ByteSinkSet set;
    set.SetCount(streamCount);
    for (uint32_t i = 0; i < 4 && i < streamCount; ++i)
        set.stream(i)->Write(streams[i]->data(), streams[i]->size());
    Bytes out;
    Serialise(&set, &out);
    return out;
}

bool PackEnsemblePatch(const EnsembleHeader& header, const Bytes& body, Bytes* patch)
{
    ByteSink sink;
    if (!WriteHeader(header, &sink)
        || !vxpatch::CompressBufferLzma2(body.data(), body.size(), &sink))
        return false;
    *patch = ToBytes(sink);
    return true;
}

bool PackEnsemblePatchStored(const EnsembleHeader& header, const Bytes& body, Bytes* patch)
{
    ByteSink sink;
    if (!WriteHeader(header, &sink) || !WriteStoredLzma2Block(body, &sink))
        return false;
    *patch = ToBytes(sink);
    return true;
}

bool MakeEnsembleParts(const Bytes& oldData, const Bytes& newData,
                       const EnsembleWriterOptions& options, EnsembleHeader* header,
                       EnsembleBody* body, std::vector<EnsembleElement>* used)
{
    std::vector<std::unique_ptr<ElementPair>> pairs;
    if (options.withElements)
        pairs = PairElements(oldData, newData);

    // No element has parameters to correct, so the predicted parameters are the real ones.
    ByteSinkSet predicted;
    ByteSinkSet transformed;
    ByteSinkSet target;
    for (auto& pair : pairs) {
        ByteSinkSet none;
        if (!predicted.WriteSet(&none) || !transformed.WriteSet(&pair->oldProgram)
            || !target.WriteSet(&pair->newProgram))
            return false;
    }
    Bytes parameters;
    Bytes transformedBytes;
    Bytes targetBytes;
    if (!Serialise(&predicted, &parameters) || !Serialise(&transformed, &transformedBytes)
        || !Serialise(&target, &targetBytes))
        return false;

    // The ensemble the last diff starts from: the old file, then each new element as the
    // applier reassembles it from the corrected programs.
    ByteSink ensemble;
    if (!ensemble.Write(oldData.data(), oldData.size()))
        return false;
    ByteSourceSet corrected;
    if (!corrected.Init(targetBytes.data(), targetBytes.size()))
        return false;
    for (auto& pair : pairs) {
        PatcherX86_32 patcher(newData.data(), uint32_t(newData.size()));
        ByteSourceSet nested;
        if (!BindPatcher(pair->newElement, &patcher) || !corrected.ReadSet(&nested)
            || patcher.Reassemble(&nested, &ensemble) != vxpatch::PATCH_OK)
            return false;
    }

    std::vector<EnsembleElement> listed;
    for (auto& pair : pairs)
        listed.push_back(pair->oldElement);
    body->elementList = ElementList(listed);
    if (!Diff(parameters, parameters, options.diffMethod, &body->parameterCorrections)
        || !Diff(transformedBytes, targetBytes, options.diffMethod, &body->elementCorrections)
        || !Diff(ensemble.data(), ensemble.size(), newData.data(), newData.size(),
                 options.diffMethod, &body->ensembleCorrections))
        return false;

    header->sourceChecksum = vxpatch::ComputeCrc(oldData.data(), uint32_t(oldData.size()));
    header->targetChecksum = vxpatch::ComputeCrc(newData.data(), uint32_t(newData.size()));
    header->finalSizePrediction = ensemble.size();
    if (used)
        *used = listed;
    return true;
}

bool MakeEnsemblePatch(const Bytes& oldData, const Bytes& newData,
                       const EnsembleWriterOptions& options, Bytes* patch,
                       std::vector<EnsembleElement>* used)
{
    EnsembleHeader header;
    EnsembleBody body;
    return MakeEnsembleParts(oldData, newData, options, &header, &body, used)
        && PackEnsemblePatch(header, BodyStreamSet(body), patch);
}

} // namespace vxtest
