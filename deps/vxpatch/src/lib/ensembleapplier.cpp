#include "ensembleapplier.h"

#include "backgroundlzma2decoder.h"
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

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>

namespace vxpatch {

namespace {

// Streams of the body: element list, parameter, element and ensemble corrections.
constexpr uint32_t kBodyStreams = 4;
constexpr uint32_t kMinEnsembleRoom = 256;
// A stream set's magic, count and ten lengths take at most this many bytes.
constexpr uint32_t kLongestSetHeader = 60;

// Gives the whole pages of [begin, end), bytes that are never read again, back to the system.
void DiscardPages(const uint8_t* begin, const uint8_t* end)
{
    const uintptr_t page = uintptr_t(MappedFile::PageSize());
    const uintptr_t first = (uintptr_t(begin) + page - 1) & ~(page - 1);
    const uintptr_t last = uintptr_t(end) & ~(page - 1);
    if (first < last)
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

// The body as the decoder delivers it; bytes once used are given back to the system.
class DecodingBody : public DecodingPatch {
public:
    explicit DecodingBody(BackgroundLzma2Decoder* decoder) : decoder_(decoder) {}

    const uint8_t* WaitFor(const uint8_t* needed) override
    {
        uint32_t decoded = 0;
        if (!decoder_->WaitFor(uint32_t(needed - decoder_->data()), &decoded))
            return nullptr;
        return decoder_->data() + decoded;
    }

    void Consumed(const uint8_t* begin, const uint8_t* end) override { DiscardPages(begin, end); }

    size_t ZeroRun(const uint8_t* at, size_t n, bool* zeros) override
    {
        return decoder_->ZeroRun(uint32_t(at - decoder_->data()), uint32_t(n), zeros);
    }

private:
    BackgroundLzma2Decoder* decoder_;
};

// Corrects the serialised form of `predicted` with the binary diff read from `diff` into
// `corrected` and parses the result as `out`, which then points into `corrected`. The diff reads
// the serialised set in place, as its header followed by its streams, which are then released;
// the largest stream's array, emptied, goes to `spare` when one is given.
uint32_t CorrectSet(ByteSinkSet* predicted, ByteSource* diff, DecodingPatch* decoding,
                    ByteSink* corrected, ByteSourceSet* out, ByteSink* spare = nullptr)
{
    ByteSink header;
    uint64_t total = 0;
    if (!predicted->WriteHeader(&header, &total) || total > 0xFFFFFFFFu)
        return PATCH_STREAM_ERROR;
    ByteSource parts[1 + ByteSinkSet::kMaxStreams];
    parts[0].Init(header);
    for (uint32_t i = 0; i < predicted->count(); ++i)
        parts[1 + i].Init(*predicted->stream(i));
    const bool applied = ApplyVxdiffPatchOverPartsAsDecoded(parts, 1 + predicted->count(), diff,
                                                            decoding, corrected);
    uint32_t largest = 0;
    for (uint32_t i = 1; i < predicted->count(); ++i) {
        if (predicted->stream(i)->capacity() > predicted->stream(largest)->capacity())
            largest = i;
    }
    if (spare && predicted->count() > 0 && !predicted->stream(largest)->IsFailed()) {
        *spare = std::move(*predicted->stream(largest));
        spare->Clear();
    }
    for (uint32_t i = 0; i < predicted->count(); ++i)
        predicted->stream(i)->Release();
    if (!applied)
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
        PatcherX86_32* patcher = new (std::nothrow) PatcherX86_32(base_, baseLength_);
        if (!patcher)
            return PATCH_STREAM_ERROR;
        patcher->SetOldFile(oldFile_);
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

// The ensemble is the old file followed by the reassembled elements. The old bytes are not
// copied: `ensemble` receives only the elements, and the last diff reads the two parts in place.
uint32_t EnsembleApplier::Reassemble(ByteSourceSet* elements, ByteSink* ensemble)
{
    // The prediction covers the whole ensemble, which one buffer must be able to hold.
    const uint64_t predicted = uint64_t(ensemble->size()) + finalSizePrediction_;
    if (predicted > ByteSink::kMaxCount)
        return PATCH_STREAM_ERROR;
    const uint64_t elementsRoom = predicted > baseLength_ ? predicted - baseLength_ : 0;
    if (!ensemble->Reserve(uint32_t(std::max<uint64_t>(elementsRoom, kMinEnsembleRoom))))
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

    // The body is decoded on a thread of its own while its first streams are put to work. A
    // body that does not decode fails the application as a stream error, whatever a step that
    // ran meanwhile found.
    ByteSink body;
    BackgroundLzma2Decoder decoder(patch, &body);
    status = ApplyBody(&decoder, output);
    if (!decoder.Finish())
        return PATCH_STREAM_ERROR;
    return status;
}

uint32_t EnsembleApplier::ApplyBody(BackgroundLzma2Decoder* body, ByteSink* output)
{
    // A body that is no stream set, or lacks a stream, has nothing to apply.
    ByteSourceSet streams;
    if (!body->WaitFor(std::min<uint32_t>(body->size(), kLongestSetHeader))
        || !streams.Init(body->data(), body->size()) || streams.count() < kBodyStreams)
        return PATCH_STREAM_ERROR;
    const auto decoded = [&](uint32_t i) {
        return body->WaitFor(uint32_t(streams.stream(i)->end() - body->data()));
    };
    // Past the element diff the decoding rests while the elements are transformed once the last
    // diff's bytes that are not all zeros reach the decoder's budget, so that the last diff takes
    // little memory beside the transformation's.
    body->PauseAt(uint32_t(streams.stream(2)->end() - body->data()));

    if (!decoded(1))
        return PATCH_STREAM_ERROR;
    uint32_t status = ReadElementPatchers(streams.stream(0));
    if (status != PATCH_OK)
        return status;

    ByteSinkSet predicted;
    status = PredictParameters(&predicted);
    if (status != PATCH_OK)
        return status;
    ByteSourceSet parameters;
    DecodingBody decoding(body);
    status = CorrectSet(&predicted, streams.stream(1), &decoding, &correctedParameters_,
                        &parameters);
    if (status != PATCH_OK)
        return status;

    ByteSinkSet transformed;
    status = Transform(&parameters, &transformed);
    body->Resume();
    if (status != PATCH_OK)
        return status;
    ByteSourceSet elements;
    // The element diff is applied as it is decoded, its bytes given back once used. Each large
    // array, once read, takes the next step's result: fresh pages cost a fault each.
    ByteSink ensemble;
    status = CorrectSet(&transformed, streams.stream(2), &decoding, &correctedElements_,
                        &elements, &ensemble);
    if (status != PATCH_OK)
        return status;
    status = Reassemble(&elements, &ensemble);
    if (status != PATCH_OK)
        return status;
    if (output->size() == 0 && !output->IsFailed()) {
        *output = std::move(correctedElements_);
        output->Clear();
    }
    correctedElements_.Release();
    if (uint64_t(baseLength_) + ensemble.size() > 0xFFFFFFFFu)
        return PATCH_STREAM_ERROR;
    // The last diff is applied while it is decoded; a body that stops decoding fails the whole
    // as a stream error in Apply.
    const ByteSource parts[2] = {ByteSource(base_, baseLength_),
                                 ByteSource(ensemble.data(), ensemble.size())};
    if (!ApplyVxdiffPatchOverPartsAsDecoded(parts, 2, streams.stream(3), &decoding, output))
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

// Applies the patch file to the old file into `output`; the status of the first failing step.
static uint32_t ApplyEnsemblePatchFilesToSink(const char* oldPath, const char* patchPath,
                                              ByteSink& output)
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
    EnsembleApplier applier;
    applier.SetOldFile(&oldFile);
    return applier.Apply(&oldData, &patch, &output);
}

uint32_t ApplyEnsemblePatchFiles(const char* oldPath, const char* patchPath, const char* newPath)
{
    ByteSink output;
    const uint32_t status = ApplyEnsemblePatchFilesToSink(oldPath, patchPath, output);
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

uint32_t ApplyEnsemblePatchToDescriptor(const char* oldPath, const char* patchPath, int newFd)
{
    ByteSink output;
    const uint32_t status = ApplyEnsemblePatchFilesToSink(oldPath, patchPath, output);
    if (status != PATCH_OK)
        return status;
    if (WriteFile(newFd, output.data(), output.size()) != output.size())
        return PATCH_CANNOT_OPEN_OLD_OR_WRITE_NEW;
    return PATCH_OK;
}

} // namespace vxpatch
