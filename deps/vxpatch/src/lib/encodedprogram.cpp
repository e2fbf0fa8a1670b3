#include "encodedprogram.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "disassemblerelf32arm.h"
#include "patchstatus.h"

namespace vxpatch {

namespace {

using Table = GrowableBuffer<uint32_t>;

// Element tables hold at most this many entries.
constexpr uint32_t kMaxTableSize = 0x3FFFFFFF;
// Marks a target index that no label has claimed yet.
constexpr uint32_t kUnsetTarget = 0xFFFFFFFF;
// Programs are written into streams 0 to 7; the parser checks that streams 0
// to 8 are consumed exactly (stream 8 is never written, so it must be empty).
constexpr uint32_t kWrittenStreams = 8;
constexpr uint32_t kCheckedStreams = 9;
// Entries of one PE base-relocation block: one per byte of a 4 KiB page.
constexpr uint32_t kMaxPeBlockEntries = 4096;

// Grows `table` to `index` + 1 entries (new ones unset) and stores `rva` there. Targets
// arrive one index after the other, so the room at least doubles each time it runs short.
bool SetTarget(Table& table, uint32_t index, uint32_t rva)
{
    if (index >= kMaxTableSize)
        return false;
    if (index >= table.size()) {
        if (index >= table.capacity()) {
            const uint64_t doubled = uint64_t(table.capacity()) * 2;
            const uint64_t room = std::min<uint64_t>(std::max<uint64_t>(doubled, index + 1),
                                                     kMaxTableSize);
            if (!table.Reserve(uint32_t(room)))
                return false;
        }
        while (table.size() <= index) {
            if (!table.PushBack(kUnsetTarget))
                return false;
        }
    }
    table.data()[index] = rva;
    return true;
}

void FillUnsetTargets(Table& table)
{
    uint32_t previous = 0;
    for (uint32_t i = 0; i < table.size(); ++i) {
        if (table.data()[i] == kUnsetTarget)
            table.data()[i] = previous;
        previous = table.data()[i];
    }
}

// The varints of `count` values from `next()`, written straight into the sink's room a block
// at a time: tables of millions of entries are the bulk of a large program.
template <class Next>
bool WriteVarints(ByteSink& sink, uint32_t count, Next next)
{
    constexpr uint32_t kBlock = 1 << 16;
    constexpr uint32_t kLongest = 5;
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(kBlock, count - done);
        if (!sink.EnsureFree(n * kLongest))
            return false;
        uint8_t* const begin = sink.FreeSpace();
        uint8_t* out = begin;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t value = next();
            while (value >= 0x80) {
                *out++ = uint8_t(value | 0x80);
                value >>= 7;
            }
            *out++ = uint8_t(value);
        }
        sink.CommitFreeSpace(uint32_t(out - begin));
        done += n;
    }
    return true;
}

// Count, then each entry; stops at the first failed write.
bool WriteTable(ByteSink& sink, const Table& table)
{
    const uint32_t* at = table.data();
    return sink.WriteVarint32(table.size())
        && WriteVarints(sink, table.size(), [&] { return *at++; });
}

// Count, then each entry as the difference to the one before (wrapping).
bool WriteDeltas(ByteSink& sink, const Table& table)
{
    const uint32_t* at = table.data();
    uint32_t previous = 0;
    return sink.WriteVarint32(table.size())
        && WriteVarints(sink, table.size(), [&] {
               const uint32_t delta = *at - previous;
               previous = *at++;
               return delta;
           });
}

// Reads a count and reserves that many entries after discarding the old
// ones. Every entry takes at least one byte, so a count larger than what is
// left of the stream is refused before anything is allocated.
bool ReadCount(ByteSource& source, Table& table, uint32_t* count)
{
    if (!source.ReadVarint32(count))
        return false;
    table.Release();
    if (*count >= 0x40000000 || *count > source.Remaining())
        return false;
    return table.Reserve(*count);
}

// Reads `count` varints into the table's reserved room, each turned by `keep`.
template <class Keep>
bool ReadVarints(ByteSource& source, Table& table, uint32_t count, Keep keep)
{
    const uint8_t* at = source.current();
    const uint8_t* const end = at + source.Remaining();
    uint32_t* out = table.FreeSpace();
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t value = 0;
        if (at < end && *at < 0x80)
            value = *at++;
        else if (!(at = ParseVarint32(at, end, &value)))
            return false;
        out[i] = keep(value);
    }
    table.CommitFreeSpace(count);
    source.Skip(size_t(at - source.current()));
    return true;
}

bool ReadTable(ByteSource& source, Table& table)
{
    uint32_t count = 0;
    return ReadCount(source, table, &count)
        && ReadVarints(source, table, count, [](uint32_t value) { return value; });
}

bool ReadDeltas(ByteSource& source, Table& table)
{
    uint32_t count = 0;
    uint32_t value = 0;
    return ReadCount(source, table, &count)
        && ReadVarints(source, table, count, [&](uint32_t delta) { return value += delta; });
}

bool ReadRawBytesView(ByteSource& source, ByteSource* view)
{
    uint32_t count = 0;
    return source.ReadVarint32(&count) && source.ReadSubstream(count, view);
}

bool ReadRawBytes(ByteSource& source, ByteSink& sink)
{
    ByteSource bytes;
    if (!ReadRawBytesView(source, &bytes))
        return false;
    sink.Release();
    return sink.Write(bytes.current(), bytes.Remaining());
}

// Parses every table; the literal bytes are copied into the program, or, given `copyBytes`,
// left in the set and only pointed at.
bool ParseInto(ByteSourceSet& set, EncodedProgram& program, ByteSource* copyBytes = nullptr)
{
    if (set.count() < kCheckedStreams)
        return false;
    uint32_t base = 0;
    if (!set.stream(0)->ReadVarint32(&base))
        return false;
    program.image_base = base;
    if (!ReadDeltas(*set.stream(5), program.abs32_rvas)
        || !ReadDeltas(*set.stream(6), program.rel32_rvas)
        || !ReadTable(*set.stream(0), program.origins)
        || !ReadTable(*set.stream(1), program.ops)
        || !ReadTable(*set.stream(7), program.copy_counts)
        || !(copyBytes ? ReadRawBytesView(*set.stream(2), copyBytes)
                       : ReadRawBytes(*set.stream(2), program.copy_bytes))
        || !ReadTable(*set.stream(3), program.abs32_ix)
        || !ReadTable(*set.stream(4), program.rel32_ix))
        return false;
    for (uint32_t i = 0; i < kCheckedStreams; ++i) {
        if (!set.stream(i)->Empty())
            return false;
    }
    return true;
}

bool WriteU16(ByteSink& sink, uint16_t value)
{
    const uint8_t bytes[2] = {uint8_t(value), uint8_t(value >> 8)};
    return sink.Write(bytes, 2);
}

bool WriteU32(ByteSink& sink, uint32_t value)
{
    if (!sink.EnsureFree(4))
        return false;
    const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                              uint8_t(value >> 24)};
    std::memcpy(sink.FreeSpace(), bytes, 4);
    sink.CommitFreeSpace(4);
    return true;
}

// One block of the PE base-relocation table: page address, size in bytes
// including this 8-byte header, then the entries padded to an even count.
bool WritePeBlock(ByteSink& sink, uint32_t page, uint16_t* entries, uint32_t count)
{
    if (count % 2 != 0)
        entries[count++] = 0;
    if (!WriteU32(sink, page) || !WriteU32(sink, 8 + 2 * count))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (!WriteU16(sink, entries[i]))
            return false;
    }
    return true;
}

// A new block starts at every change of page. A page with more sites than
// it has bytes (only possible with repeated addresses) is split into further
// blocks of the same page so that no block ever overruns.
bool WritePeRelocTable(ByteSink& sink, const Table& sites, uint16_t entryType)
{
    std::array<uint16_t, kMaxPeBlockEntries> entries;
    uint32_t count = 0;
    uint32_t page = 0;
    for (uint32_t i = 0; i < sites.size(); ++i) {
        const uint32_t site = sites.data()[i];
        const uint32_t sitePage = site & 0xFFFFF000u;
        if (count > 0 && (sitePage != page || count == kMaxPeBlockEntries)) {
            if (!WritePeBlock(sink, page, entries.data(), count))
                return false;
            count = 0;
        }
        page = sitePage;
        entries[count++] = uint16_t((entryType << 12) | (site & 0xFFF));
    }
    return count == 0 || WritePeBlock(sink, page, entries.data(), count);
}

bool WriteElfRelocTable(ByteSink& sink, const Table& sites, uint32_t relocType)
{
    for (uint32_t i = 0; i < sites.size(); ++i) {
        if (!WriteU32(sink, sites.data()[i]) || !WriteU32(sink, relocType))
            return false;
    }
    return true;
}

// Ascending order for all sites but the last, which stays last: the stored
// patches were made against exactly this order.
void SortSites(Table& sites)
{
    if (sites.size() > 1)
        std::sort(sites.data(), sites.data() + sites.size() - 1);
}

// Plays the ops of one program back into image bytes.
class Assembler {
public:
    Assembler(EncodedProgram& program, const ByteSource& copyBytes, ByteSink& sink)
        : program_(program), copyBytes_(copyBytes.current()),
          copyBytesSize_(uint32_t(copyBytes.Remaining())), sink_(sink)
    {
    }

    bool Run();

private:
    bool Next(const Table& table, uint32_t& position, uint32_t* value);
    bool NextTarget(const Table& indexes, uint32_t& position, const Table& targets,
                    uint32_t* target);
    bool CopyRun();
    bool CopyByte();
    bool Rel32();
    bool Abs32();
    bool PeRelocs(uint16_t entryType);
    bool ElfRelocs(uint32_t relocType);
    bool ArmBranch(uint32_t op);
    bool Finish();

    EncodedProgram& program_;
    const uint8_t* copyBytes_;
    uint32_t copyBytesSize_;
    ByteSink& sink_;
    ByteSink holding_;
    ByteSink* out_ = &sink_;
    uint32_t address_ = 0;
    uint32_t originPos_ = 0;
    uint32_t countPos_ = 0;
    uint32_t bytePos_ = 0;
    uint32_t rel32Pos_ = 0;
    uint32_t abs32Pos_ = 0;
    bool peTable_ = false;
    uint16_t peEntryType_ = 3;
    uint32_t elfType_ = 0;
};

bool Assembler::Next(const Table& table, uint32_t& position, uint32_t* value)
{
    if (position >= table.size())
        return false;
    *value = table.data()[position++];
    return true;
}

bool Assembler::NextTarget(const Table& indexes, uint32_t& position, const Table& targets,
                           uint32_t* target)
{
    uint32_t index = 0;
    if (!Next(indexes, position, &index) || index >= targets.size())
        return false;
    *target = targets.data()[index];
    return true;
}

bool Assembler::CopyRun()
{
    uint32_t n = 0;
    if (!Next(program_.copy_counts, countPos_, &n))
        return false;
    if (n > copyBytesSize_ - bytePos_)
        return false;
    if (!out_->Write(copyBytes_ + bytePos_, n))
        return false;
    bytePos_ += n;
    address_ += n;
    return true;
}

bool Assembler::CopyByte()
{
    if (bytePos_ >= copyBytesSize_)
        return false;
    if (!out_->Write(copyBytes_ + bytePos_, 1))
        return false;
    ++bytePos_;
    address_ += 1;
    return true;
}

bool Assembler::Rel32()
{
    uint32_t target = 0;
    if (!NextTarget(program_.rel32_ix, rel32Pos_, program_.rel32_rvas, &target))
        return false;
    if (!WriteU32(*out_, target - 4 - address_))
        return false;
    address_ += 4;
    return true;
}

bool Assembler::Abs32()
{
    uint32_t target = 0;
    if (!NextTarget(program_.abs32_ix, abs32Pos_, program_.abs32_rvas, &target))
        return false;
    if (!program_.abs32_sites.PushBack(address_))
        return false;
    if (!WriteU32(*out_, target + uint32_t(program_.image_base)))
        return false;
    address_ += 4;
    return true;
}

// A program holds at most one relocation table: a second op of either
// family cannot be placed.
bool Assembler::PeRelocs(uint16_t entryType)
{
    if (peTable_ || elfType_ != 0)
        return false;
    peTable_ = true;
    peEntryType_ = entryType;
    out_ = &holding_;
    return true;
}

bool Assembler::ElfRelocs(uint32_t relocType)
{
    if (elfType_ != 0 || peTable_)
        return false;
    elfType_ = relocType;
    out_ = &holding_;
    return true;
}

bool Assembler::ArmBranch(uint32_t op)
{
    const uint32_t kindPlusOne = (op >> 12) & 0xF;
    if (kindPlusOne < 1 || kindPlusOne > 5)
        return false;
    const uint32_t kind = kindPlusOne - 1;
    uint32_t target = 0;
    if (!NextTarget(program_.rel32_ix, rel32Pos_, program_.rel32_rvas, &target))
        return false;
    uint32_t bits = 0;
    if (!DisassemblerElf32ARM::EncodeArmBranch(kind, uint16_t(op), target - address_, &bits))
        return false;
    if (kind <= 1) {
        if (!WriteU16(*out_, uint16_t(bits)))
            return false;
        address_ += 2;
        return true;
    }
    const bool written = kind == 2
        ? WriteU32(*out_, bits)
        : WriteU16(*out_, uint16_t(bits >> 16)) && WriteU16(*out_, uint16_t(bits));
    if (!written)
        return false;
    address_ += 4;
    return true;
}

bool Assembler::Finish()
{
    if (peTable_) {
        SortSites(program_.abs32_sites);
        if (!WritePeRelocTable(sink_, program_.abs32_sites, peEntryType_)
            || !sink_.Append(&holding_))
            return false;
    }
    if (elfType_ != 0) {
        SortSites(program_.abs32_sites);
        if (!WriteElfRelocTable(sink_, program_.abs32_sites, elfType_)
            || !sink_.Append(&holding_))
            return false;
    }
    return countPos_ == program_.copy_counts.size()
        && bytePos_ == copyBytesSize_
        && abs32Pos_ == program_.abs32_ix.size()
        && rel32Pos_ == program_.rel32_ix.size();
}

bool Assembler::Run()
{
    program_.abs32_sites.Release();
    for (uint32_t i = 0; i < program_.ops.size(); ++i) {
        const uint32_t op = program_.ops.data()[i];
        bool ok = false;
        switch (op) {
        case OP_SET_ORIGIN:
            ok = Next(program_.origins, originPos_, &address_);
            break;
        case OP_COPY_RUN:
            ok = CopyRun();
            break;
        case OP_COPY_BYTE:
            ok = CopyByte();
            break;
        case OP_REL32:
            ok = Rel32();
            break;
        case OP_ABS32:
            ok = Abs32();
            break;
        case OP_PE_RELOCS32:
            ok = PeRelocs(3);
            break;
        case OP_PE_RELOCS64:
            ok = PeRelocs(10);
            break;
        case OP_ELF_RELOCS_X86:
            ok = ElfRelocs(8);
            break;
        case OP_ELF_RELOCS_ARM:
            ok = ElfRelocs(23);
            break;
        default:
            ok = ArmBranch(op);
            break;
        }
        if (!ok)
            return false;
    }
    return Finish();
}

} // namespace

bool EncodedProgram::PushOp(uint32_t op)
{
    return ops.PushBack(op);
}

bool EncodedProgram::SetAbs32Target(uint32_t index, uint32_t rva)
{
    return SetTarget(abs32_rvas, index, rva);
}

bool EncodedProgram::SetRel32Target(uint32_t index, uint32_t rva)
{
    return SetTarget(rel32_rvas, index, rva);
}

bool EncodedProgram::FinishTargets()
{
    FillUnsetTargets(abs32_rvas);
    FillUnsetTargets(rel32_rvas);
    return true;
}

bool EncodedProgram::PushOrigin(uint32_t rva)
{
    return PushOp(OP_SET_ORIGIN) && origins.PushBack(rva);
}

bool EncodedProgram::PushCopy(uint32_t n, const uint8_t* bytes)
{
    if (ops.size() > 0 && ops.data()[ops.size() - 1] == OP_COPY_BYTE) {
        ops.data()[ops.size() - 1] = OP_COPY_RUN;
        if (!copy_counts.PushBack(1))
            return false;
    }
    if (ops.size() > 0 && ops.data()[ops.size() - 1] == OP_COPY_RUN
        && copy_counts.size() > 0) {
        copy_counts.data()[copy_counts.size() - 1] += n;
        return copy_bytes.Write(bytes, n);
    }
    if (n == 1)
        return PushOp(OP_COPY_BYTE) && copy_bytes.Write(bytes, 1);
    return PushOp(OP_COPY_RUN) && copy_counts.PushBack(n) && copy_bytes.Write(bytes, n);
}

bool EncodedProgram::PushRel32(uint32_t labelIndex)
{
    return PushOp(OP_REL32) && rel32_ix.PushBack(labelIndex);
}

namespace {

// Sites per piece below which more threads do not pay for themselves.
constexpr uint32_t kMinRunsPerPiece = uint32_t(1) << 16;
constexpr uint32_t kMaxRunThreads = 8;

// The sites [first, end) of one piece of a run list, and what it appends to each table.
struct RunPiece {
    uint32_t first = 0;
    uint32_t end = 0;
    uint64_t ops = 0;
    uint64_t counts = 0;
    uint64_t bytes = 0;
};

uint32_t GapAfter(const Rel32SiteRecord* sites, uint32_t i, uint32_t count)
{
    return i + 1 < count ? sites[i + 1].file_offset - sites[i].file_offset - 4 : 0;
}

void WriteRunPiece(const uint8_t* image, const Rel32SiteRecord* sites, uint32_t count,
                   const RunPiece& piece, uint32_t* ops, uint32_t* counts, uint32_t* targets,
                   uint8_t* bytes)
{
    for (uint32_t i = piece.first; i < piece.end; ++i) {
        *ops++ = OP_REL32;
        *targets++ = sites[i].rva + sites[i].relative_target;
        const uint32_t gap = GapAfter(sites, i, count);
        if (gap == 0)
            continue;
        if (gap == 1) {
            *ops++ = OP_COPY_BYTE;
        } else {
            *ops++ = OP_COPY_RUN;
            *counts++ = gap;
        }
        std::memcpy(bytes, image + sites[i].file_offset + 4, gap);
        bytes += gap;
    }
}

} // namespace

bool EncodedProgram::PushRel32Runs(const uint8_t* image, uint64_t imageLength,
                                   const Rel32SiteRecord* sites, uint32_t count)
{
    if (count == 0)
        return true;
    for (uint32_t i = 0; i + 1 < count; ++i) {
        if (uint64_t(sites[i].file_offset) + 4 > sites[i + 1].file_offset)
            return false;
    }
    if (uint64_t(sites[count - 1].file_offset) + 4 > imageLength)
        return false;
    // One core stays with the patch body's decoder, which runs meanwhile.
    const uint32_t cores = std::max(2u, std::thread::hardware_concurrency()) - 1;
    const uint32_t pieceCount =
        std::max(1u, std::min({kMaxRunThreads, cores, count / kMinRunsPerPiece}));
    std::vector<RunPiece> pieces(pieceCount);
    RunPiece total;
    for (uint32_t p = 0; p < pieceCount; ++p) {
        RunPiece& piece = pieces[p];
        piece.first = uint32_t(uint64_t(count) * p / pieceCount);
        piece.end = uint32_t(uint64_t(count) * (p + 1) / pieceCount);
        for (uint32_t i = piece.first; i < piece.end; ++i) {
            const uint32_t gap = GapAfter(sites, i, count);
            piece.ops += 1 + (gap > 0);
            piece.counts += gap > 1;
            piece.bytes += gap;
        }
        total.ops += piece.ops;
        total.counts += piece.counts;
        total.bytes += piece.bytes;
    }
    if (total.ops > kMaxTableSize || total.bytes > ByteSink::kMaxCount
        || !ops.EnsureFree(uint32_t(total.ops)) || !copy_counts.EnsureFree(uint32_t(total.counts))
        || !rel32_ix.EnsureFree(count) || !copy_bytes.EnsureFree(uint32_t(total.bytes)))
        return false;

    std::vector<std::thread> threads(pieceCount);
    uint64_t opsAt = 0;
    uint64_t countsAt = 0;
    uint64_t bytesAt = 0;
    for (uint32_t p = 0; p < pieceCount; ++p) {
        const auto write = [&, p, opsAt, countsAt, bytesAt] {
            WriteRunPiece(image, sites, count, pieces[p], ops.data() + ops.size() + opsAt,
                          copy_counts.data() + copy_counts.size() + countsAt,
                          rel32_ix.data() + rel32_ix.size() + pieces[p].first,
                          copy_bytes.data() + copy_bytes.size() + bytesAt);
        };
        try {
            threads[p] = p + 1 < pieceCount ? std::thread(write) : std::thread();
        } catch (const std::system_error&) {
        }
        if (!threads[p].joinable())
            write();
        opsAt += pieces[p].ops;
        countsAt += pieces[p].counts;
        bytesAt += pieces[p].bytes;
    }
    for (std::thread& thread : threads) {
        if (thread.joinable())
            thread.join();
    }
    ops.CommitFreeSpace(uint32_t(total.ops));
    copy_counts.CommitFreeSpace(uint32_t(total.counts));
    rel32_ix.CommitFreeSpace(count);
    copy_bytes.CommitFreeSpace(uint32_t(total.bytes));
    return true;
}

bool EncodedProgram::PushAbs32(uint32_t labelIndex)
{
    return PushOp(OP_ABS32) && abs32_ix.PushBack(labelIndex);
}

bool EncodedProgram::PushArmBranch(uint16_t op, uint32_t labelIndex)
{
    return PushOp(op) && rel32_ix.PushBack(labelIndex);
}

bool EncodedProgram::PushPeRelocTable(ExecutableType kind)
{
    return PushOp(kind == EXE_WIN_32_X86 ? OP_PE_RELOCS32 : OP_PE_RELOCS64);
}

bool EncodedProgram::PushElfRelocTable()
{
    return PushOp(OP_ELF_RELOCS_X86);
}

bool EncodedProgram::PushElfArmRelocTable()
{
    return PushOp(OP_ELF_RELOCS_ARM);
}

namespace {

// Stream 2 is the count of the literal bytes followed by the bytes themselves. Moved, the bytes
// are shifted up in their own buffer to make room for the count, and the buffer becomes the
// stream: a large image's literal bytes then never exist twice.
bool WriteCopyBytes(ByteSink& stream, ByteSink& bytes, bool move)
{
    const uint32_t n = bytes.size();
    ByteSink count;
    if (!count.WriteVarint32(n))
        return false;
    const uint32_t k = count.size();
    if (!move || stream.size() != 0 || n > ByteSink::kMaxCount - k || !bytes.Reserve(n + k))
        return stream.Write(count.data(), k) && stream.Write(bytes.data(), n);
    if (n > 0)
        std::memmove(bytes.data() + k, bytes.data(), n);
    std::memcpy(bytes.data(), count.data(), k);
    bytes.CommitFreeSpace(k);
    stream = std::move(bytes);
    return true;
}

uint32_t WriteProgram(EncodedProgram* program, ByteSinkSet* set, bool moveCopyBytes)
{
    // Streams past the set's count would be silently left out of the copy.
    if (set->count() < kWrittenStreams
        || !set->stream(0)->WriteVarint32(uint32_t(program->image_base)))
        return PATCH_STREAM_ERROR;
    bool ok = WriteDeltas(*set->stream(5), program->abs32_rvas);
    ok = WriteDeltas(*set->stream(6), program->rel32_rvas) && ok;
    ok = WriteTable(*set->stream(0), program->origins) && ok;
    ByteSink& opStream = *set->stream(1);
    const uint32_t room = opStream.size() + program->ops.size() + 5;
    ok = opStream.Reserve(std::max<uint32_t>(room, 256)) && ok;
    ok = WriteTable(opStream, program->ops) && ok;
    ok = WriteTable(*set->stream(7), program->copy_counts) && ok;
    ok = WriteCopyBytes(*set->stream(2), program->copy_bytes, moveCopyBytes) && ok;
    ok = WriteTable(*set->stream(3), program->abs32_ix) && ok;
    ok = WriteTable(*set->stream(4), program->rel32_ix) && ok;
    return ok ? PATCH_OK : PATCH_STREAM_ERROR;
}

} // namespace

uint32_t EncodedProgramToSet(EncodedProgram* program, ByteSinkSet* set)
{
    return WriteProgram(program, set, false);
}

uint32_t EncodedProgramIntoSet(EncodedProgram* program, ByteSinkSet* set)
{
    return WriteProgram(program, set, true);
}

uint32_t EncodedProgramFromSet(ByteSourceSet* set, EncodedProgram** out)
{
    EncodedProgram* program = new (std::nothrow) EncodedProgram;
    if (!program)
        return PATCH_BAD_ENCODED_PROGRAM;
    if (!ParseInto(*set, *program)) {
        delete program;
        return PATCH_BAD_ENCODED_PROGRAM;
    }
    *out = program;
    return PATCH_OK;
}

uint32_t AssembleEncodedProgram(EncodedProgram* program, ByteSink* sink)
{
    ByteSource copyBytes(program->copy_bytes.data(), program->copy_bytes.size());
    Assembler assembler(*program, copyBytes, *sink);
    return assembler.Run() ? PATCH_OK : PATCH_ASSEMBLY_FAILED;
}

uint32_t AssembleEncodedProgramFromSet(ByteSourceSet* set, ByteSink* sink)
{
    EncodedProgram* program = new (std::nothrow) EncodedProgram;
    if (!program)
        return PATCH_BAD_ENCODED_PROGRAM;
    ByteSource copyBytes;
    uint32_t status = PATCH_BAD_ENCODED_PROGRAM;
    if (ParseInto(*set, *program, &copyBytes)) {
        Assembler assembler(*program, copyBytes, *sink);
        status = assembler.Run() ? PATCH_OK : PATCH_ASSEMBLY_FAILED;
    }
    delete program;
    return status;
}

void DestroyEncodedProgram(EncodedProgram* program)
{
    delete program;
}

} // namespace vxpatch
