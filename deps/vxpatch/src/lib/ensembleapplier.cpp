#include "ensembleapplier.h"

#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"
#include "crc.h"
#include "executabletype.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "patcherx86_32.h"
#include "patchstatus.h"
#include "vxdiff.h"
#include "writefile.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>

namespace vxpatch {

namespace {

// Streams of the body: element list, parameter, element and ensemble corrections.
constexpr uint32_t kBodyStreams = 4;
constexpr uint32_t kMinEnsembleRoom = 256;

// Serialises `predicted`, corrects it with the binary diff read from `diff` into `corrected`
// and parses the result as `out`, which then points into `corrected`.
uint32_t CorrectSet(ByteSinkSet* predicted, ByteSource* diff, ByteSink* corrected,
                    ByteSourceSet* out)
{
    ByteSink serialised;
    if (!predicted->CopyTo(&serialised))
        return PATCH_STREAM_ERROR;
    ByteSource original;
    original.Init(serialised);
    if (!ApplyVxdiffPatch(&original, diff, corrected, false))
        return PATCH_GENERAL_FAILURE;
    if (!out->Init(corrected->data(), corrected->size()))
        return PATCH_STREAM_ERROR;
    return PATCH_OK;
}

} // namespace

EnsembleApplier::~EnsembleApplier()
{
    for (uint32_t i = 0; i < patchers_.size(); ++i)
        delete patchers_[i];
}

uint32_t EnsembleApplier::ReadHeader(ByteSource* patch)
{
    uint32_t magic = 0;
    if (!patch->ReadVarint32(&magic) || magic != kMagic)
        return PATCH_BAD_MAGIC;
    uint32_t version = 0;
    if (!patch->ReadVarint32(&version) || version != kVersion)
        return PATCH_BAD_VERSION;
    if (!patch->ReadVarint32(&sourceChecksum_) || !patch->ReadVarint32(&targetChecksum_)
        || !patch->ReadVarint32(&finalSizePrediction_))
        return PATCH_CORRUPT_HEADER;
    return PATCH_OK;
}

uint32_t EnsembleApplier::ReadElementPatchers(ByteSource* elements)
{
    uint32_t count = 0;
    if (!elements->ReadVarint32(&count))
        return PATCH_CORRUPT_HEADER;
    // Each kind takes at least one byte, so the list's length bounds the patchers made.
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t kind = 0;
        if (!elements->ReadVarint32(&kind) || kind < EXE_WIN_32_X86 || kind > EXE_MACHO_X64)
            return PATCH_CORRUPT_HEADER;
        TransformationPatcher* patcher = new (std::nothrow) PatcherX86_32(base_, baseLength_);
        if (!patcher)
            return PATCH_STREAM_ERROR;
        if (!patchers_.PushBack(patcher)) {
            delete patcher;
            return PATCH_STREAM_ERROR;
        }
    }
    for (uint32_t i = 0; i < patchers_.size(); ++i) {
        const uint32_t status = patchers_[i]->Init(elements);
        if (status != PATCH_OK)
            return status;
    }
    return elements->Empty() ? PATCH_OK : PATCH_CORRUPT_HEADER;
}

uint32_t EnsembleApplier::PredictParameters(ByteSinkSet* predicted)
{
    for (uint32_t i = 0; i < patchers_.size(); ++i) {
        ByteSinkSet nested;
        const uint32_t status = patchers_[i]->PredictParameters(&nested);
        if (status != PATCH_OK)
            return status;
        if (!predicted->WriteSet(&nested))
            return PATCH_STREAM_ERROR;
    }
    return PATCH_OK;
}

uint32_t EnsembleApplier::Transform(ByteSourceSet* parameters, ByteSinkSet* transformed)
{
    for (uint32_t i = 0; i < patchers_.size(); ++i) {
        ByteSourceSet nested;
        if (!parameters->ReadSet(&nested))
            return PATCH_STREAM_ERROR;
        ByteSinkSet element;
        const uint32_t status = patchers_[i]->Transform(&nested, &element);
        if (status != PATCH_OK)
            return status;
        if (!nested.Empty())
            return PATCH_STREAM_NOT_CONSUMED;
        if (!transformed->WriteSet(&element))
            return PATCH_STREAM_ERROR;
    }
    return parameters->Empty() ? PATCH_OK : PATCH_STREAM_NOT_CONSUMED;
}

uint32_t EnsembleApplier::Reassemble(ByteSourceSet* elements, ByteSink* ensemble)
{
    const uint64_t room = std::max<uint64_t>(uint64_t(ensemble->size()) + finalSizePrediction_,
                                             kMinEnsembleRoom);
    if (room > 0xFFFFFFFFu || !ensemble->Reserve(uint32_t(room)))
        return PATCH_STREAM_ERROR;
    if (!ensemble->Write(base_, baseLength_))
        return PATCH_STREAM_ERROR;
    for (uint32_t i = 0; i < patchers_.size(); ++i) {
        ByteSourceSet nested;
        if (!elements->ReadSet(&nested))
            return PATCH_STREAM_ERROR;
        const uint32_t status = patchers_[i]->Reassemble(&nested, ensemble);
        if (status != PATCH_OK)
            return status;
        if (!nested.Empty())
            return PATCH_STREAM_NOT_CONSUMED;
    }
    if (!elements->Empty())
        return PATCH_STREAM_NOT_CONSUMED;
    correctedElements_.Release();
    return PATCH_OK;
}

uint32_t EnsembleApplier::Apply(ByteSource* oldData, ByteSource* patch, ByteSink* output)
{
    uint32_t status = ReadHeader(patch);
    if (status != PATCH_OK)
        return status;

    // The checksum and the element bounds are 32-bit; a larger base cannot be described.
    if (oldData->Remaining() > 0xFFFFFFFFu)
        return PATCH_STREAM_ERROR;
    base_ = oldData->current();
    baseLength_ = uint32_t(oldData->Remaining());
    if (ComputeCrc(base_, baseLength_) != sourceChecksum_)
        return PATCH_CHECKSUM_MISMATCH;

    ByteSink body;
    if (!ReadLzma2Block(patch, &body))
        return PATCH_STREAM_ERROR;
    // A body that is no stream set, or lacks a stream, has nothing to apply.
    ByteSourceSet streams;
    if (!streams.Init(body.data(), body.size()) || streams.count() < kBodyStreams)
        return PATCH_STREAM_ERROR;

    status = ReadElementPatchers(streams.stream(0));
    if (status != PATCH_OK)
        return status;

    ByteSinkSet predicted;
    status = PredictParameters(&predicted);
    if (status != PATCH_OK)
        return status;
    ByteSourceSet parameters;
    status = CorrectSet(&predicted, streams.stream(1), &correctedParameters_, &parameters);
    if (status != PATCH_OK)
        return status;

    ByteSinkSet transformed;
    status = Transform(&parameters, &transformed);
    if (status != PATCH_OK)
        return status;
    ByteSourceSet elements;
    status = CorrectSet(&transformed, streams.stream(2), &correctedElements_, &elements);
    if (status != PATCH_OK)
        return status;

    ByteSink ensemble;
    status = Reassemble(&elements, &ensemble);
    if (status != PATCH_OK)
        return status;
    ByteSource ensembleSource;
    ensembleSource.Init(ensemble);
    if (!ApplyVxdiffPatch(&ensembleSource, streams.stream(3), output, false))
        return PATCH_GENERAL_FAILURE;
    if (ComputeCrc(output->data(), output->size()) != targetChecksum_)
        return PATCH_CHECKSUM_MISMATCH;
    return PATCH_OK;
}

uint32_t ApplyEnsemblePatchStreams(ByteSource* oldData, ByteSource* patch, ByteSink* output)
{
    EnsembleApplier applier;
    return applier.Apply(oldData, patch, output);
}

uint32_t ApplyEnsemblePatchFiles(const char* oldPath, const char* patchPath, const char* newPath)
{
    MappedFile patchFile(patchPath);
    if (!patchFile.IsMapped())
        return PATCH_CANNOT_OPEN_PATCH;
    {
        // A file that is no ensemble patch is turned away before the old file is touched.
        EnsembleApplier scratch;
        ByteSource header(patchFile.data(), patchFile.viewLength());
        const uint32_t status = scratch.ReadHeader(&header);
        if (status != PATCH_OK)
            return status;
    }

    // An empty old file has no view to map; it is an empty input like any other.
    MappedFile oldFile(oldPath);
    const bool emptyOld = oldFile.IsOpen() && oldFile.size() == 0;
    if (!oldFile.IsMapped() && !emptyOld)
        return PATCH_CANNOT_OPEN_OLD_OR_WRITE_NEW;
    ByteSource oldData(oldFile.data(), oldFile.viewLength());
    ByteSource patch(patchFile.data(), patchFile.viewLength());
    ByteSink output;
    const uint32_t status = ApplyEnsemblePatchStreams(&oldData, &patch, &output);
    if (status != PATCH_OK)
        return status;

    const bool existed = access(newPath, F_OK) == 0;
    const size_t written = WriteFile(newPath, output.data(), output.size());
    if (written != output.size()) {
        // Leave no partial new file; an existing file that could not even be opened stays.
        if (!existed || written > 0)
            std::remove(newPath);
        return PATCH_CANNOT_OPEN_OLD_OR_WRITE_NEW;
    }
    return PATCH_OK;
}

} // namespace vxpatch
