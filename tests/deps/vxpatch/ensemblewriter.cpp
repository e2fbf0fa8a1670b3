#include "ensemblewriter.h"

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"
#include "crc.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "lzmaioout.h"
#include "patcherx86_32.h"
#include "patchstatus.h"
#include "sinkbytes.h"
#include "vxdiff.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

namespace vxtest {

namespace {

using vxpatch::ByteSink;
using vxpatch::ByteSinkSet;
using vxpatch::ByteSource;
using vxpatch::ByteSourceSet;
using vxpatch::PatcherX86_32;

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
    *out = SinkBytes(sink);
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
    *out = SinkBytes(sink);
    return true;
}

bool Diff(const Bytes& oldData, const Bytes& newData, int method, Bytes* out)
{
    return Diff(oldData.data(), oldData.size(), newData.data(), newData.size(), method, out);
}

// Disassembled and trimmed as the applier's transform does; null when that fails.
std::unique_ptr<vxpatch::DisassembledProgram, void (*)(vxpatch::DisassembledProgram*)>
Disassemble(const Bytes& file, const EnsembleElement& element)
{
    vxpatch::DisassembledProgram* program = nullptr;
    if (vxpatch::DisassembleExecutable(file.data() + element.offset, element.length, &program)
            == vxpatch::PATCH_OK
        && program->TrimLabelsStatus() != vxpatch::PATCH_OK) {
        vxpatch::DeleteDisassembledProgram(program);
        program = nullptr;
    }
    return {program, vxpatch::DeleteDisassembledProgram};
}

// The label a reference instruction goes through and whether it is an absolute one.
vxpatch::Label* ReferencedLabel(const vxpatch::Insn* insn, bool* absolute)
{
    *absolute = insn->kind() == vxpatch::INSN_ABS32;
    switch (insn->kind()) {
    case vxpatch::INSN_REL32:
    case vxpatch::INSN_ABS32:
        return static_cast<const vxpatch::LabelInsn*>(insn)->label;
    case vxpatch::INSN_ARM_BRANCH:
        return static_cast<const vxpatch::ArmBranchInsn*>(insn)->label;
    default:
        return nullptr;
    }
}

// A hash of the instructions around reference i that does not depend on any address: bytes
// by value, references by kind only.
uint64_t ReferenceContext(const vxpatch::DisassembledProgram& program, uint32_t i)
{
    const uint32_t kReach = 12;
    uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](uint64_t v) { hash = (hash ^ v) * 1099511628211ull; };
    const uint32_t first = i > kReach ? i - kReach : 0;
    const uint32_t last = std::min(program.insnCount(), i + kReach + 1);
    for (uint32_t k = first; k < last; ++k) {
        const vxpatch::Insn* insn = program.insnAt(k);
        mix(insn->kind() | uint64_t(k == i) << 8);
        if (insn->kind() == vxpatch::INSN_BYTE) {
            mix(insn->byteValue());
        } else if (insn->kind() == vxpatch::INSN_BYTES) {
            const auto* bytes = static_cast<const vxpatch::BytesInsn*>(insn);
            for (uint32_t b = 0; b < bytes->length && b < 16; ++b)
                mix(bytes->bytes[b]);
        } else if (insn->kind() == vxpatch::INSN_ARM_BRANCH) {
            mix(static_cast<const vxpatch::ArmBranchInsn*>(insn)->cop);
        }
    }
    return hash;
}

// Gives the new program's labels the indexes of the old labels they most likely are, so that
// the new encoded program differs from the old one where the code does, not wherever a label
// was added before. References are matched by their surroundings; labels without a match get
// indexes past the old ones. Only the writer chooses indexes: the applier assembles whatever
// indexes the corrected program holds.
void AlignLabels(const vxpatch::DisassembledProgram& oldProgram,
                 vxpatch::DisassembledProgram* newProgram)
{
    // Context -> the old label referenced there, or null when contexts collide.
    std::unordered_map<uint64_t, vxpatch::Label*> oldContexts[2];
    for (uint32_t i = 0; i < oldProgram.insnCount(); ++i) {
        bool absolute = false;
        vxpatch::Label* label = ReferencedLabel(oldProgram.insnAt(i), &absolute);
        if (!label)
            continue;
        auto inserted = oldContexts[absolute].emplace(ReferenceContext(oldProgram, i), label);
        if (!inserted.second && inserted.first->second != label)
            inserted.first->second = nullptr;
    }
    std::map<std::pair<vxpatch::Label*, vxpatch::Label*>, int> votes[2];
    for (uint32_t i = 0; i < newProgram->insnCount(); ++i) {
        bool absolute = false;
        vxpatch::Label* label = ReferencedLabel(newProgram->insnAt(i), &absolute);
        if (!label)
            continue;
        auto match = oldContexts[absolute].find(ReferenceContext(*newProgram, i));
        if (match != oldContexts[absolute].end() && match->second)
            ++votes[absolute][{label, match->second}];
    }
    const vxpatch::DisassembledProgram::LabelMap* newLabels[2] = {&newProgram->rel32Labels(),
                                                                 &newProgram->abs32Labels()};
    const vxpatch::DisassembledProgram::LabelMap* oldLabels[2] = {&oldProgram.rel32Labels(),
                                                                 &oldProgram.abs32Labels()};
    for (int absolute = 0; absolute < 2; ++absolute) {
        std::vector<std::pair<int, std::pair<vxpatch::Label*, vxpatch::Label*>>> ranked;
        for (const auto& vote : votes[absolute])
            ranked.push_back({vote.second, vote.first});
        // Most votes first; ties by address, so that the same files give the same patch.
        std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
            if (a.first != b.first)
                return a.first > b.first;
            const auto& x = a.second;
            const auto& y = b.second;
            return std::make_pair(x.first->rva, x.second->rva)
                < std::make_pair(y.first->rva, y.second->rva);
        });
        int32_t next = 0;
        for (const auto& entry : *oldLabels[absolute])
            next = std::max(next, entry.second->index + 1);
        for (const auto& entry : *newLabels[absolute])
            entry.second->index = -1;
        std::set<int32_t> taken;
        for (const auto& vote : ranked) {
            vxpatch::Label* newLabel = vote.second.first;
            const int32_t index = vote.second.second->index;
            if (newLabel->index == -1 && index >= 0 && taken.insert(index).second)
                newLabel->index = index;
        }
        // Unmatched labels between two matched ones take the old indexes between theirs, in
        // address order, as long as there are any.
        int32_t previous = -1;
        for (const auto& entry : *newLabels[absolute]) {
            vxpatch::Label* label = entry.second;
            if (label->index == -1 && previous + 1 < next && !taken.count(previous + 1)) {
                label->index = previous + 1;
                taken.insert(label->index);
            }
            if (label->index != -1)
                previous = label->index;
        }
        for (const auto& entry : *newLabels[absolute]) {
            if (entry.second->index == -1)
                entry.second->index = next++;
        }
    }
}

// The new element's encoded program with its labels aligned to the old element's.
bool TransformNewElement(const Bytes& oldData, const EnsembleElement& oldElement,
                         const Bytes& newData, const EnsembleElement& newElement, ByteSinkSet* out)
{
    auto oldProgram = Disassemble(oldData, oldElement);
    auto newProgram = Disassemble(newData, newElement);
    if (!oldProgram || !newProgram)
        return false;
    AlignLabels(*oldProgram, newProgram.get());
    vxpatch::EncodedProgram* encoded = nullptr;
    if (newProgram->EncodeStatus(&encoded) != vxpatch::PATCH_OK)
        return false;
    const bool ok = vxpatch::EncodedProgramToSet(encoded, out) == vxpatch::PATCH_OK;
    vxpatch::DestroyEncodedProgram(encoded);
    return ok;
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
            && TransformNewElement(oldData, pair->oldElement, newData, pair->newElement,
                                   &pair->newProgram))
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
    return SinkBytes(sink);
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
    *patch = SinkBytes(sink);
    return true;
}

bool PackEnsemblePatchStored(const EnsembleHeader& header, const Bytes& body, Bytes* patch)
{
    ByteSink sink;
    if (!WriteHeader(header, &sink) || !WriteStoredLzma2Block(body, &sink))
        return false;
    *patch = SinkBytes(sink);
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
