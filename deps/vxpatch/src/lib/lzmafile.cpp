#include "lzmafile.h"

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"
#include "crc.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "executabletype.h"
#include "log.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "patchlog.h"
#include "vxdiff.h"
#include "writefile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace vxpatch {
namespace {

constexpr int kStatusOk = 1;
constexpr int kStatusNotRecognised = 24;

// Fat Mach-O images are sliced only when at least this long.
constexpr uint32_t kFatMinimumLength = 0x1000;
constexpr uint32_t kFatMaximumSlices = 8;
constexpr uint32_t kFatEntrySize = 20;

// One executable inside the file being packed.
struct ExecutableRange {
    uint32_t offset;
    uint32_t length;
    ExecutableType kind;
};

// Writes the whole sink to `path`; a short write removes the partial file.
bool WriteOutputFile(const std::string& path, const ByteSink& sink)
{
    if (WriteFile(path, sink.data(), sink.size()) == sink.size())
        return true;
    LogError("could not write output file");
    std::remove(path.c_str());
    return false;
}

bool ReadLzmaFileHeader(ByteSource* source, uint32_t* magic, uint32_t* crc, uint32_t* directive)
{
    return source->ReadVarint32(magic) && source->ReadVarint32(crc) &&
        source->ReadVarint32(directive);
}

// Rebuilds each executable from its encoded program, then applies the closing diff.
bool UnpackDisAndDiff(ByteSource* body, ByteSink* output)
{
    ByteSink decoded;
    if (!ReadLzma2Block(body, &decoded)) {
        LogError("could not decompress file");
        return false;
    }
    ByteSourceSet set;
    if (!set.Init(decoded.data(), decoded.size())) {
        LogError("could not init dif_and_dis set");
        return false;
    }
    const uint32_t count = set.count();
    if (count <= 1) {
        LogError("dis_and_diff too small");
        return false;
    }
    ByteSink reassembled;
    for (uint32_t i = 0; i + 1 < count; ++i) {
        ByteSourceSet programSet;
        if (!programSet.Init(*set.stream(i))) {
            LogError("could not init program_source set");
            return false;
        }
        EncodedProgram* program = nullptr;
        if (EncodedProgramFromSet(&programSet, &program) != kStatusOk) {
            LogError("could not read encoded program");
            return false;
        }
        const uint32_t assembled = AssembleEncodedProgram(program, &reassembled);
        DestroyEncodedProgram(program);
        if (assembled != kStatusOk) {
            LogError("could not assemble program");
            return false;
        }
    }
    ByteSource old(reassembled.data(), reassembled.size());
    if (!ApplyVxdiffPatch(&old, set.stream(count - 1), output, false)) {
        LogError("could not apply diff");
        return false;
    }
    return true;
}

bool WritePlainBody(const uint8_t* data, uint32_t length, ByteSink* sink, uint32_t crc)
{
    if (!WriteLzmaFileHeader(sink, crc))
        return false;
    if (!sink->WriteVarint32(LZMA_FILE_PLAIN)) {
        LogError("could not write preprocess directive");
        return false;
    }
    if (!CompressBufferLzma2(data, length, sink)) {
        LogError("could not compress file");
        return false;
    }
    return true;
}

uint32_t ReadBigEndian32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Lists the executable slices of a fat Mach-O image. Returns false (and an empty
// list) when the file is no such image or any slice makes slicing unsafe.
bool FindFatSlices(const uint8_t* data, uint32_t length, std::vector<ExecutableRange>* slices)
{
    slices->clear();
    static const uint8_t kFatMagic[4] = {0xCA, 0xFE, 0xBA, 0xBE};
    if (length < kFatMinimumLength || !std::equal(kFatMagic, kFatMagic + 4, data))
        return false;
    const uint32_t count = ReadBigEndian32(data + 4);
    if (count > kFatMaximumSlices)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = data + 8 + i * kFatEntrySize;
        const uint32_t offset = ReadBigEndian32(entry + 8);
        const uint32_t size = ReadBigEndian32(entry + 12);
        if (offset > length || size > length - offset) {
            slices->clear();
            return false;
        }
        for (const ExecutableRange& accepted : *slices) {
            if (offset < accepted.offset + accepted.length && accepted.offset < offset + size) {
                slices->clear();
                return false;
            }
        }
        ExecutableType kind = EXE_UNKNOWN;
        uint32_t detected = 0;
        if (DetectExecutable(data + offset, size, &kind, &detected) != kStatusOk)
            continue;
        if (detected > size) {
            slices->clear();
            return false;
        }
        slices->push_back({offset, size, kind});
    }
    return !slices->empty();
}

// Disassembles, encodes and serialises one executable into `stream`, appending its
// reassembled bytes to `reassembled`.
bool EncodeExecutable(
    const uint8_t* data, const ExecutableRange& range, ByteSink* stream, ByteSink* reassembled)
{
    DisassembledProgram* disassembled = nullptr;
    if (DisassembleExecutable(data + range.offset, range.length, &disassembled) != kStatusOk) {
        LogWarning("could not parse file");
        return false;
    }
    bool ok = false;
    EncodedProgram* encoded = nullptr;
    ByteSinkSet programSet;
    if (disassembled->TrimLabelsStatus() != kStatusOk)
        LogError("could not trim labels");
    else if (disassembled->EncodeStatus(&encoded) != kStatusOk)
        LogError("could not encode program");
    else if (EncodedProgramToSet(encoded, &programSet) != kStatusOk)
        LogError("could not write encode program");
    else if (!programSet.CopyTo(stream))
        LogError("could not combine streams");
    else if (AssembleEncodedProgram(encoded, reassembled) != kStatusOk)
        LogError("could not assemble program");
    else
        ok = true;
    DestroyEncodedProgram(encoded);
    DeleteDisassembledProgram(disassembled);
    return ok;
}

// Directive 2 for the listed executables. Returns false after logging the first
// failure; the sink then holds a partial container and must be discarded.
bool WriteDisAndDiffBody(const uint8_t* data, uint32_t length,
    const std::vector<ExecutableRange>& executables, uint32_t crc, ByteSink* sink)
{
    if (!WriteLzmaFileHeader(sink, crc))
        return false;
    if (!sink->WriteVarint32(LZMA_FILE_DIS_AND_DIFF)) {
        LogError("could not write preprocess directive");
        return false;
    }
    ByteSinkSet set;
    const uint32_t diffStream = static_cast<uint32_t>(executables.size());
    set.SetCount(diffStream + 1);
    ByteSink reassembled;
    for (uint32_t i = 0; i < diffStream; ++i) {
        if (!EncodeExecutable(data, executables[i], set.stream(i), &reassembled))
            return false;
    }
    ByteSource old(reassembled.data(), reassembled.size());
    ByteSource whole(data, length);
    if (!MakeVxdiffPatch(&old, &whole, set.stream(diffStream), false, VXDIFF_RAW)) {
        LogError("could not generate diff");
        return false;
    }
    ByteSink combined;
    if (!set.CopyTo(&combined)) {
        LogError("could not combine dis and dif");
        return false;
    }
    if (!CompressBufferLzma2(combined.data(), combined.size(), sink)) {
        LogError("could not compress file");
        return false;
    }
    return true;
}

// Lists the executables to preprocess: the slices of a fat Mach-O image, else the one
// executable at the start of the file. Returns 1, 24 (nothing to preprocess) or the
// detector's failure.
int FindExecutables(const uint8_t* data, uint32_t length, std::vector<ExecutableRange>* found)
{
    if (FindFatSlices(data, length, found))
        return kStatusOk;
    ExecutableType kind = EXE_UNKNOWN;
    uint32_t detected = 0;
    const int status = DetectExecutable(data, length, &kind, &detected);
    if (status == kStatusOk)
        found->push_back({0, detected, kind});
    return status;
}

constexpr uint32_t kNoOutputLimit = 0xFFFFFFFFu;

// Whether the container body at `body` is plain and declares at most `maxOutput` bytes
// (the block's property byte, then its unpacked size).
bool PlainBodyFits(ByteSource body, uint32_t directive, uint32_t maxOutput)
{
    if (directive != LZMA_FILE_PLAIN) {
        LogError("a size-limited package must be plain");
        return false;
    }
    uint8_t property = 0;
    uint32_t unpacked = 0;
    if (!body.ReadBytes(&property, 1) || !body.ReadVarint32(&unpacked)) {
        LogError("could not read unpacked size");
        return false;
    }
    if (unpacked > maxOutput) {
        LogError("unpacked size " + std::to_string(unpacked) + " exceeds the limit of " +
            std::to_string(maxOutput) + " bytes");
        return false;
    }
    return true;
}

bool IsEmptyRegularFile(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0;
}

} // namespace

bool WriteLzmaFileHeader(ByteSink* sink, uint32_t crc)
{
    if (!sink->WriteVarint32(kLzmaFileMagic)) {
        LogError("could not write magic");
        return false;
    }
    if (!sink->WriteVarint32(crc)) {
        LogError("could not write crc");
        return false;
    }
    return true;
}

bool WritePlainLzmaBody(const MappedFile& input, ByteSink* sink, uint32_t crc)
{
    return WritePlainBody(input.data(), input.viewLength(), sink, crc);
}

bool UnpackLzmaFile(const std::string& inputPath, const std::string& outputPath)
{
    return UnpackLzmaFileLimited(inputPath, outputPath, kNoOutputLimit);
}

// Decodes the container at `inputPath` into `output`, checked against its checksum.
static bool DecodeLzmaFile(const std::string& inputPath, uint32_t maxOutput, ByteSink& output)
{
    MappedFile input(inputPath, 0, MappedFile::ADVICE_NORMAL);
    if (!input.IsMapped()) {
        LogError("could not open lzma file");
        return false;
    }
    ByteSource source(input.data(), input.viewLength());
    uint32_t magic = 0;
    uint32_t crc = 0;
    uint32_t directive = 0;
    if (!ReadLzmaFileHeader(&source, &magic, &crc, &directive)) {
        LogError("could not read lzma header");
        return false;
    }
    if (magic != kLzmaFileMagic) {
        LogError("not lzma file");
        return false;
    }
    if (maxOutput != kNoOutputLimit && !PlainBodyFits(source, directive, maxOutput))
        return false;
    if (directive == LZMA_FILE_PLAIN) {
        if (!ReadLzma2Block(&source, &output)) {
            LogError("could not decompress file");
            return false;
        }
    } else if (directive == LZMA_FILE_DIS_AND_DIFF) {
        if (!UnpackDisAndDiff(&source, &output))
            return false;
    } else {
        LogError("Unknown preprocessing dirrective");
        return false;
    }
    if (ComputeCrc(output.data(), output.size()) != crc) {
        LogError("crc mismatch");
        return false;
    }
    return true;
}

bool UnpackLzmaFileLimited(
    const std::string& inputPath, const std::string& outputPath, uint32_t maxOutput)
{
    ByteSink output;
    return DecodeLzmaFile(inputPath, maxOutput, output) && WriteOutputFile(outputPath, output);
}

bool UnpackLzmaFileToDescriptor(const std::string& inputPath, int outputFd, uint32_t maxOutput)
{
    ByteSink output;
    if (!DecodeLzmaFile(inputPath, maxOutput, output))
        return false;
    if (WriteFile(outputFd, output.data(), output.size()) == output.size())
        return true;
    LogError("could not write output file");
    return false;
}

bool PackLzmaFile(const std::string& inputPath, const std::string& outputPath, bool preprocess)
{
    MappedFile input(inputPath, 0, MappedFile::ADVICE_NORMAL);
    ByteSink output;
    if (!input.IsMapped()) {
        // An empty file cannot be mapped, but it is a file all the same.
        if (!IsEmptyRegularFile(inputPath)) {
            LogError("could not open file");
            return false;
        }
        return WritePlainBody(nullptr, 0, &output, ComputeCrc(nullptr, 0)) &&
            WriteOutputFile(outputPath, output);
    }
    const uint8_t* data = input.data();
    const uint32_t length = input.viewLength();
    const uint32_t crc = ComputeCrc(data, length);

    if (preprocess) {
        std::vector<ExecutableRange> executables;
        const int status = FindExecutables(data, length, &executables);
        if (status != kStatusOk && status != kStatusNotRecognised) {
            LogError("error detecting file type " + std::to_string(status));
            return false;
        }
        if (status == kStatusOk) {
            for (const ExecutableRange& executable : executables)
                log(std::string("detected ") + ExecutableTypeName(executable.kind), LogLevel_DEBUG,
                    std::string(), 0);
            if (WriteDisAndDiffBody(data, length, executables, crc, &output))
                return WriteOutputFile(outputPath, output);
            LogWarning("falling back to default compression");
            output.Release();
        }
    }
    return WritePlainLzmaBody(input, &output, crc) && WriteOutputFile(outputPath, output);
}

} // namespace vxpatch
