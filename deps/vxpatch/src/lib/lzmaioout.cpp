#include "lzmaioout.h"

#include "bytesink.h"
#include "bytesource.h"
#include "log.h"
#include "patchlog.h"

#include <lzma.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace vxpatch {

namespace {

// Decoder memory beyond this is refused; the writers' level-9 dictionary is 64 MiB.
constexpr uint64_t kDecoderMemoryLimit = uint64_t(512) << 20;

// An LZMA chunk costs at least 6 input bytes (control, two sizes, one packed byte) and yields at
// most 2 MiB; stored chunks yield less than they cost. Nothing decodes to more than this.
uint64_t MaxLzma2Output(size_t input)
{
    return (uint64_t(input) / 6 + 1) * (uint64_t(2) << 20);
}

// The one translation of liblzma results into the block's result codes (0 success, 1 corrupt
// data, 2 memory, 4 unsupported properties, 5 bad parameter, 6 input ended early, 7 output full,
// 11 other failure), which the error messages carry.
int ResultCode(lzma_ret ret)
{
    switch (ret) {
    case LZMA_OK:
    case LZMA_STREAM_END:
        return 0;
    case LZMA_DATA_ERROR:
        return 1;
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR:
        return 2;
    case LZMA_OPTIONS_ERROR:
    case LZMA_FORMAT_ERROR:
    case LZMA_UNSUPPORTED_CHECK:
        return 4;
    case LZMA_PROG_ERROR:
        return 5;
    case LZMA_BUF_ERROR:
        return 7;
    default:
        return 11;
    }
}

constexpr int kInputEnded = 6;
// DecodeInto's result when the block decoded whole.
constexpr int kDecoded = -1;

// Decoder memory. Large buffers (the dictionary) are mapped on their own with huge pages
// allowed, so that first touching them does not fault page by page; small ones come from
// malloc. A header in front of each records the mapped length (0 for malloc). The decoder
// writes all of what it asks for (its dictionary is cut to the block's size), so the pages of
// a small buffer are mapped in at once.
constexpr size_t kLargeBuffer = size_t(2) << 20;
constexpr size_t kHeader = 64;

void* AllocateCoderBuffer(void*, size_t count, size_t size)
{
    if (size != 0 && count > (SIZE_MAX - kHeader) / size)
        return nullptr;
    const size_t bytes = count * size;
    if (bytes < kLargeBuffer) {
        uint8_t* p = static_cast<uint8_t*>(std::malloc(bytes + kHeader));
        if (!p)
            return nullptr;
        *reinterpret_cast<size_t*>(p) = 0;
        PrefaultForWriting(p + kHeader, bytes);
        return p + kHeader;
    }
    const size_t mapped = bytes + kHeader;
    void* address =
        ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        return nullptr;
    ::madvise(address, mapped, MADV_HUGEPAGE);
    *static_cast<size_t*>(address) = mapped;
    return static_cast<uint8_t*>(address) + kHeader;
}

void FreeCoderBuffer(void*, void* pointer)
{
    if (!pointer)
        return;
    uint8_t* base = static_cast<uint8_t*>(pointer) - kHeader;
    const size_t mapped = *reinterpret_cast<size_t*>(base);
    if (mapped)
        ::munmap(base, mapped);
    else
        std::free(base);
}

const lzma_allocator kCoderAllocator = {AllocateCoderBuffer, FreeCoderBuffer, nullptr};

// A raw LZMA2 filter chain. Owns the decoded options when built from a property byte.
struct Lzma2Filters {
    lzma_options_lzma preset{};
    lzma_filter chain[2] = {{LZMA_FILTER_LZMA2, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    bool ownsOptions = false;

    ~Lzma2Filters()
    {
        if (ownsOptions)
            std::free(chain[0].options);
    }
    lzma_options_lzma* options() { return static_cast<lzma_options_lzma*>(chain[0].options); }
};

// Builds the decoder chain for a property byte. The dictionary never needs to be larger than
// what the block decodes to, so it is cut to that, which keeps small blocks cheap.
lzma_ret DecoderFilters(uint8_t property, uint32_t unpacked, Lzma2Filters* filters)
{
    lzma_ret ret = lzma_properties_decode(&filters->chain[0], nullptr, &property, 1);
    if (ret != LZMA_OK)
        return ret;
    filters->ownsOptions = true;
    const uint32_t needed = unpacked < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : unpacked;
    if (filters->options()->dict_size > needed)
        filters->options()->dict_size = needed;
    if (lzma_raw_decoder_memusage(filters->chain) > kDecoderMemoryLimit)
        return LZMA_MEMLIMIT_ERROR;
    return LZMA_OK;
}

// Decodes exactly `unpacked` bytes from the source's cursor into the sink's free space, which
// holds that many. Returns kDecoded and the payload length in *consumed, or a result code.
int DecodeInto(uint8_t property, uint32_t unpacked, const ByteSource& source, ByteSink* sink,
               size_t* consumed)
{
    Lzma2Filters filters;
    lzma_ret ret = DecoderFilters(property, unpacked, &filters);
    if (ret != LZMA_OK)
        return ResultCode(ret);

    // liblzma refuses null buffers even when they are empty.
    uint8_t none = 0;
    const uint8_t* in = source.Remaining() ? source.current() : &none;
    uint8_t* out = unpacked ? sink->FreeSpace() : &none;
    size_t inPos = 0;
    size_t outPos = 0;
    ret = lzma_raw_buffer_decode(filters.chain, &kCoderAllocator, in, &inPos, source.Remaining(), out,
                                 &outPos, unpacked);
    if (ret != LZMA_OK)
        return ResultCode(ret);
    if (outPos != unpacked)
        return 0;  // the stream ended early although the library reported success
    *consumed = inPos;
    return kDecoded;
}

// Appends the property byte and the unpacked size. Fails when the sink refuses them.
bool WriteLzma2Header(Lzma2Filters* encoder, uint32_t unpacked, ByteSink* sink)
{
    uint8_t property = 0;
    if (lzma_properties_encode(encoder->chain, &property) != LZMA_OK) {
        LogError("Error Lzma2Enc_SetProps");
        return false;
    }
    return sink->Write(&property, 1) && sink->WriteSizeVarint32(unpacked);
}

// Compresses [data, data + length) to the end marker and appends the payload to the sink.
// Returns false when the coder or the sink fails; *consumed receives the input taken.
bool EncodeLzma2(Lzma2Filters* encoder, const uint8_t* data, size_t length, ByteSink* sink,
                 size_t* consumed)
{
    lzma_stream stream = LZMA_STREAM_INIT;
    lzma_ret ret = lzma_raw_encoder(&stream, encoder->chain);
    uint8_t chunk[32 * 1024];
    stream.next_in = data;
    stream.avail_in = length;
    bool written = true;
    while (ret == LZMA_OK && written) {
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        ret = lzma_code(&stream, LZMA_FINISH);
        written = sink->Write(chunk, sizeof(chunk) - stream.avail_out);
    }
    *consumed = length - stream.avail_in;
    lzma_end(&stream);
    if (ret != LZMA_STREAM_END || !written) {
        LogError("Error Lzma2Enc_Encode");
        return false;
    }
    return true;
}

// The encoder settings of both writers: level 9, every other setting the library's default.
void CreateEncoder(Lzma2Filters* encoder, int assertionLine)
{
    if (lzma_lzma_preset(&encoder->preset, 9)) {
        log("Assertion \"encHandle\" failed at ../../../../deps/vxpatch/src/lib/lzmaioout:"
                + std::to_string(assertionLine) + "; ",
            LogLevel_CRITICAL, std::string(), 0);
    }
    encoder->chain[0].options = &encoder->preset;
}

bool CompressLzma2(const uint8_t* data, size_t length, ByteSink* sink, int assertionLine,
                   size_t* consumed)
{
    *consumed = 0;
    Lzma2Filters encoder;
    CreateEncoder(&encoder, assertionLine);
    if (length > 0xFFFFFFFFu) {
        LogError("Error Lzma2Enc_Encode");
        return false;
    }
    if (!WriteLzma2Header(&encoder, static_cast<uint32_t>(length), sink))
        return false;
    return EncodeLzma2(&encoder, data, length, sink, consumed);
}

} // namespace

bool ReadLzma2Block(ByteSource* source, ByteSink* sink)
{
    ByteSource cursor = *source;
    uint8_t property = 0;
    if (!cursor.ReadBytes(&property, 1)) {
        LogError("Error read LZMA2 properties");
        return false;
    }
    uint32_t unpacked = 0;
    if (!cursor.ReadVarint32(&unpacked)) {
        LogError("Error read LZMA2 unpack size");
        return false;
    }
    const uint64_t total = uint64_t(sink->size()) + unpacked;
    if (sink->IsFailed() || total > 0xFFFFFFFFu) {
        LogError("unable to allocate sink space");
        return false;
    }
    // A size the remaining input cannot possibly hold would fail in the decoder anyway; refuse
    // it before reserving that much memory.
    int result = unpacked > MaxLzma2Output(cursor.Remaining()) ? kInputEnded : kDecoded;
    if (result == kDecoded && !sink->Reserve(static_cast<uint32_t>(total))) {
        LogError("unable to allocate sink space");
        return false;
    }
    size_t consumed = 0;
    if (result == kDecoded)
        result = DecodeInto(property, unpacked, cursor, sink, &consumed);
    if (result != kDecoded) {
        LogError("Error uncompressing data " + std::to_string(result));
        return false;
    }
    cursor.Skip(consumed);
    *source = cursor;
    sink->CommitFreeSpace(unpacked);
    return true;
}

uint64_t Lzma2OutputLimit(size_t inputLength)
{
    return MaxLzma2Output(inputLength);
}

bool PeekLzma2BlockHeader(const ByteSource& source, uint8_t* property, uint32_t* unpacked,
                          size_t* headerLength)
{
    ByteSource cursor = source;
    if (!cursor.ReadBytes(property, 1) || !cursor.ReadVarint32(unpacked))
        return false;
    *headerLength = size_t(cursor.current() - source.current());
    return true;
}

bool DecodeLzma2Payload(uint8_t property, uint32_t unpacked, const uint8_t* in, size_t inSize,
                        uint8_t* window, uint32_t windowSize, uint32_t firstPiece,
                        const std::function<bool(uint32_t, uint32_t)>& deliver, size_t* consumed,
                        bool windowIsOutput)
{
    if (unpacked > MaxLzma2Output(inSize) || windowSize == 0 || firstPiece > windowSize)
        return false;
    Lzma2Filters filters;
    if (DecoderFilters(property, unpacked, &filters) != LZMA_OK)
        return false;
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = &kCoderAllocator;
    if (lzma_raw_decoder(&stream, filters.chain) != LZMA_OK) {
        lzma_end(&stream);
        return false;
    }
    uint8_t none = 0;
    stream.next_in = inSize ? in : &none;
    stream.avail_in = inSize;
    lzma_ret ret = LZMA_OK;
    bool going = true;
    uint32_t offset = 0;
    uint32_t piece = firstPiece ? firstPiece : windowSize;
    // An empty piece still asks the decoder once, which then finds the end marker.
    do {
        piece = std::min(piece, unpacked - offset);
        stream.next_out = piece ? window + (windowIsOutput ? offset : 0) : &none;
        stream.avail_out = piece;
        while (ret == LZMA_OK && stream.avail_out > 0) {
            const uint64_t before = stream.total_in + stream.total_out;
            ret = lzma_code(&stream, LZMA_RUN);
            // Input all given and no more progress: the payload is cut short.
            if (ret == LZMA_OK && stream.total_in + stream.total_out == before)
                ret = LZMA_BUF_ERROR;
        }
        if (ret == LZMA_OK && piece == unpacked - offset) {
            // The whole output is there; only the end marker is left to read.
            stream.next_out = &none;
            stream.avail_out = 0;
            ret = lzma_code(&stream, LZMA_RUN);
        }
        const uint32_t decoded = piece - uint32_t(stream.avail_out);
        going = (ret == LZMA_OK || ret == LZMA_STREAM_END) && deliver(offset, decoded);
        offset += decoded;
        piece = windowSize;
    } while (going && ret == LZMA_OK && offset < unpacked);
    const bool decoded = going && ret == LZMA_STREAM_END && stream.total_out == unpacked;
    *consumed = size_t(stream.total_in);
    lzma_end(&stream);
    return decoded;
}

bool CompressStreamLzma2(ByteSource* source, ByteSink* sink)
{
    size_t consumed = 0;
    const bool ok = CompressLzma2(source->current(), source->Remaining(), sink, 52, &consumed);
    source->Skip(consumed);
    return ok;
}

bool CompressBufferLzma2(const uint8_t* data, size_t length, ByteSink* sink)
{
    size_t consumed = 0;
    return CompressLzma2(data, length, sink, 63, &consumed);
}

} // namespace vxpatch
