#include "disassemblerelf.h"

#include <algorithm>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "disassembledprogram.h"
#include "executablebytes.h"
#include "log.h"

namespace vxpatch {

namespace {

inline uint32_t ReadWord(const uint8_t* p, uint32_t)
{
    return ReadU32(p);
}

inline uint64_t ReadWord(const uint8_t* p, uint64_t)
{
    return ReadU64(p);
}

template <class Word>
Word ReadWordAt(const uint8_t* p)
{
    return ReadWord(p, Word());
}

} // namespace

template <class L>
DisassemblerElf<L>::DisassemblerElf(const uint8_t* start, uint32_t length) : Disassembler(start, length)
{
}

template <class L>
DisassemblerElf<L>::~DisassemblerElf() = default;

template <class L>
const uint8_t* DisassemblerElf<L>::SectionHeader(uint32_t i) const
{
    return sectionHeaders_ + size_t(i) * L::kSectionHeaderSize;
}

template <class L>
const uint8_t* DisassemblerElf<L>::ProgramHeader(uint32_t i) const
{
    return programHeaders_ + size_t(i) * L::kProgramHeaderSize;
}

template <class L>
uint32_t DisassemblerElf<L>::SectionType(const uint8_t* sh)
{
    return ReadU32(sh + L::kShType);
}

template <class L>
typename L::Word DisassemblerElf<L>::SectionAddr(const uint8_t* sh)
{
    return ReadWordAt<Word>(sh + L::kShAddr);
}

template <class L>
typename L::Word DisassemblerElf<L>::SectionOffset(const uint8_t* sh)
{
    return ReadWordAt<Word>(sh + L::kShOffset);
}

template <class L>
typename L::Word DisassemblerElf<L>::SectionSize(const uint8_t* sh)
{
    return ReadWordAt<Word>(sh + L::kShSize);
}

template <class L>
typename L::Word DisassemblerElf<L>::SectionEntsize(const uint8_t* sh)
{
    return ReadWordAt<Word>(sh + L::kShEntsize);
}

template <class L>
typename L::Word DisassemblerElf<L>::EntryCount(const uint8_t* sh)
{
    const Word entsize = SectionEntsize(sh);
    return entsize == 0 ? 0 : SectionSize(sh) / entsize;
}

// Checks the file header and both header tables, and clips the length to the
// extent of the image. Unlike a bare offset check, the tables must lie wholly
// inside the buffer, since they are read without further checks.
template <class L>
bool DisassemblerElf<L>::ParseHeader()
{
    if (length_ < L::kHeaderSize)
        return Reject("Too small");
    const uint8_t* h = start_;
    if (h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F')
        return Reject("No Magic Number");
    if ((ReadU16(h + 16) & ~1u) != 2)
        return Reject("Not an executable file or shared library");
    if (ReadU16(h + 18) != ElfMachine())
        return Reject("Not a supported architecture");
    if (ReadU32(h + 20) != 1)
        return Reject("Unknown file version");
    if (ReadU16(h + L::kShentsize) != L::kSectionHeaderSize)
        return Reject("Unexpected section header size");

    const Word shoff = ReadWordAt<Word>(h + L::kShoff);
    if (shoff >= length_)
        return Reject("Out of bounds section header table offset");
    const uint16_t shnum = ReadU16(h + L::kShnum);
    if (shoff + shnum >= length_ || !RangeInside(shoff, uint64_t(shnum) * L::kSectionHeaderSize, length_))
        return Reject("Out of bounds section header table");

    const Word phoff = ReadWordAt<Word>(h + L::kPhoff);
    if (phoff >= length_)
        return Reject("Out of bounds program header table offset");
    const uint16_t phnum = ReadU16(h + L::kPhnum);
    if (phoff + phnum >= length_ || !RangeInside(phoff, uint64_t(phnum) * L::kProgramHeaderSize, length_))
        return Reject("Out of bounds program header table");

    header_ = h;
    sectionHeaders_ = h + shoff;
    sectionCount_ = shnum;
    programHeaders_ = h + phoff;
    programCount_ = phnum;

    const uint16_t shstrndx = ReadU16(h + L::kShstrndx);
    stringSection_ = nullptr;
    if (shstrndx < shnum && SectionOffset(SectionHeader(shstrndx)) < length_)
        stringSection_ = h + SectionOffset(SectionHeader(shstrndx));

    Word extent = 0;
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        const uint8_t* sh = SectionHeader(i);
        if (SectionType(sh) != SHT_NOBITS)
            extent = std::max<Word>(extent, SectionOffset(sh) + SectionSize(sh));
    }
    for (uint32_t i = 0; i < programCount_; ++i) {
        const uint8_t* ph = ProgramHeader(i);
        extent = std::max<Word>(extent, ReadWordAt<Word>(ph + L::kPhOffset) + ReadWordAt<Word>(ph + L::kPhFilesz));
    }
    extent = std::max<Word>(extent, shoff + Word(L::kSectionHeaderSize) * shnum);
    extent = std::max<Word>(extent, phoff + Word(L::kProgramHeaderSize) * phnum);
    ClipLength(uint32_t(extent));
    return Accept();
}

namespace {

constexpr uint64_t kRvaLimit = 0x100000000ull;

// End of [begin, begin + size) where a wrapped sum holds nothing, capped at the rva limit.
template <class Word>
uint64_t WrappedEnd(Word begin, Word size)
{
    const Word end = Word(begin + size);
    return end < begin ? uint64_t(begin) : std::min<uint64_t>(end, kRvaLimit);
}

} // namespace

template <class L>
void DisassemblerElf<L>::BuildIndexes()
{
    rvaIndex_.Clear();
    loadIndex_.Clear();
    contentIndex_.Clear();
    for (uint32_t i = programCount_; i-- > 0;) {
        const uint8_t* ph = ProgramHeader(i);
        const Word vaddr = ReadWordAt<Word>(ph + L::kPhVaddr);
        const Word filesz = ReadWordAt<Word>(ph + L::kPhFilesz);
        const uint64_t memEnd = WrappedEnd<Word>(vaddr, ReadWordAt<Word>(ph + L::kPhMemsz));
        const uint64_t fileEnd = filesz > kRvaLimit ? kRvaLimit : std::min<uint64_t>(uint64_t(vaddr) + filesz, kRvaLimit);
        if (vaddr < kRvaLimit) {
            rvaIndex_.Paint(vaddr, std::min(memEnd, fileEnd), i);
            if (ReadU32(ph + L::kPhType) == PT_LOAD)
                loadIndex_.Paint(vaddr, memEnd, i);
        }
    }
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        const uint8_t* sh = SectionHeader(i);
        const uint32_t type = SectionType(sh);
        if (type == SHT_PROGBITS || type == SHT_REL)
            contentIndex_.Paint(SectionOffset(sh), uint64_t(SectionOffset(sh)) + SectionSize(sh), i);
    }
}

// The first program header in table order whose file part holds the rva.
template <class L>
bool DisassemblerElf<L>::RvaToFileOffset(uint32_t rva, uint32_t* offset) const
{
    uint32_t i = 0;
    if (!rvaIndex_.Find(rva, &i))
        return false;
    const uint8_t* ph = ProgramHeader(i);
    *offset = uint32_t(ReadWordAt<Word>(ph + L::kPhOffset) + (rva - ReadWordAt<Word>(ph + L::kPhVaddr)));
    return true;
}

template <class L>
bool DisassemblerElf<L>::TargetInLoadSegment(uint32_t target) const
{
    return loadIndex_.Contains(target);
}

// Sections listed out of file order make the walk emit some bytes again; a
// walk that would emit more than twice the buffer fails instead of growing
// without bound.
template <class L>
bool DisassemblerElf<L>::AddRange(DisassembledProgram* program, Word offset, Word size)
{
    const uint64_t bufferLength = uint64_t(end_ - start_);
    if (!RangeInside(offset, size, bufferLength))
        return false;
    emittedBytes_ += size;
    if (emittedBytes_ > 2 * bufferLength + 4096)
        return false;
    return program->AddBytes(start_ + offset, uint32_t(size));
}

// Every section's start bounds a run of raw bytes in the walk, and the
// contents of PROGBITS and REL sections are read: all must lie in the buffer.
// Those contents are scanned once per section, so sections that overlap many
// times over would make the work grow without bound; real images never
// overlap them, and more than twice the buffer fails the disassembly.
template <class L>
bool DisassemblerElf<L>::SectionsInsideBuffer() const
{
    const uint64_t bufferLength = uint64_t(end_ - start_);
    uint64_t contents = 0;
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        const uint8_t* sh = SectionHeader(i);
        const uint32_t type = SectionType(sh);
        if (SectionOffset(sh) > bufferLength)
            return false;
        if (type == SHT_PROGBITS || type == SHT_REL) {
            if (!RangeInside(SectionOffset(sh), SectionSize(sh), bufferLength))
                return false;
            contents += SectionSize(sh);
        }
    }
    return contents <= 2 * bufferLength;
}

template <class L>
bool DisassemblerElf<L>::CollectAbs32Rvas()
{
    abs32Rvas.clear();
    const uint64_t bufferLength = uint64_t(end_ - start_);
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        const uint8_t* sh = SectionHeader(i);
        if (SectionType(sh) != SHT_REL)
            continue;
        const Word offset = SectionOffset(sh);
        const Word count = EntryCount(sh);
        if (count > (bufferLength - offset) / L::kRelSize)
            return false;
        for (Word k = 0; k < count; ++k) {
            const uint8_t* entry = start_ + offset + k * L::kRelSize;
            uint32_t rva = 0;
            uint32_t fileOffset = 0;
            if (!RelocToRva(ReadWordAt<Word>(entry), ReadWordAt<Word>(entry + sizeof(Word)), &rva)
                || !RvaToFileOffset(rva, &fileOffset))
                continue;
            if (contentIndex_.Contains(fileOffset))
                abs32Rvas.push_back(rva);
        }
    }
    std::sort(abs32Rvas.begin(), abs32Rvas.end());
    return true;
}

namespace {

constexpr size_t kMaxMergedRuns = 64;

} // namespace

template <class L>
template <class Less>
void DisassemblerElf<L>::MergeSiteRuns(const std::vector<size_t>& runs, Less byRva)
{
    TypedRVA* const begin = rel32Sites.data();
    TypedRVA* const end = begin + rel32Sites.size();
    bool runsSorted = runs.size() <= kMaxMergedRuns;
    for (size_t k = 0; runsSorted && k < runs.size(); ++k) {
        const size_t runEnd = k + 1 < runs.size() ? runs[k + 1] : rel32Sites.size();
        runsSorted = std::is_sorted(begin + runs[k], begin + runEnd, byRva);
    }
    if (!runsSorted) {
        std::stable_sort(begin, end, byRva);
        return;
    }
    for (size_t k = 1; k < runs.size(); ++k) {
        const size_t runEnd = k + 1 < runs.size() ? runs[k + 1] : rel32Sites.size();
        std::inplace_merge(begin, begin + runs[k], begin + runEnd, byRva);
    }
}

template <class L>
bool DisassemblerElf<L>::CollectRel32Sites()
{
    rel32Sites.Clear();
    x86Rel32Sites.Clear();
    // Where the sites of each section that has any begin.
    std::vector<size_t> runs;
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        const uint8_t* sh = SectionHeader(i);
        const size_t before = rel32Sites.size();
        if (SectionType(sh) == SHT_PROGBITS && !ScanRel32(sh))
            return false;
        if (rel32Sites.size() != before)
            runs.push_back(before);
    }
    // Sections usually come in address order, which leaves nothing to sort. A section out of
    // order (one at address 0 at the end, say) holds its sites in order, so merging the
    // sections' runs gives the stable sort's order at little cost.
    const auto byRva = [](const TypedRVA& a, const TypedRVA& b) {
        return a.rva < b.rva;
    };
    if (!std::is_sorted(rel32Sites.data(), rel32Sites.data() + rel32Sites.size(), byRva))
        MergeSiteRuns(runs, byRva);
    const auto x86ByRva = [](const X86Rel32Site& a, const X86Rel32Site& b) {
        return a.rva < b.rva;
    };
    X86Rel32Site* const x86Begin = x86Rel32Sites.data();
    X86Rel32Site* const x86End = x86Begin + x86Rel32Sites.size();
    if (!std::is_sorted(x86Begin, x86End, x86ByRva))
        std::stable_sort(x86Begin, x86End, x86ByRva);
    return true;
}

namespace {

// First two bytes (the first in the low half) of the x86 call, jump and conditional jump forms,
// and with them the x86-64 RIP-relative forms, one bit each.
class SiteStarts {
public:
    explicit SiteStarts(bool ripForms)
    {
        for (uint32_t second = 0; second < 256; ++second) {
            Set(0xE8, second);
            Set(0xE9, second);
            if ((second & 0xF0) == 0x80 && second != 0x8A && second != 0x8B)
                Set(0x0F, second);
        }
        if (ripForms) {
            Set(0xFF, 0x15);
            Set(0xFF, 0x25);
            for (uint32_t first : {0x48u, 0x49u}) {
                Set(first, 0x8B);
                Set(first, 0x8D);
            }
        }
    }

    bool Has(const uint8_t* p) const
    {
        const uint32_t pair = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
        return (bits_[pair >> 6] >> (pair & 63)) & 1;
    }

private:
    void Set(uint32_t first, uint32_t second)
    {
        const uint32_t pair = first | (second << 8);
        bits_[pair >> 6] |= uint64_t(1) << (pair & 63);
    }

    uint64_t bits_[1024] = {};
};

const SiteStarts kX86SiteStarts(false);
const SiteStarts kX64SiteStarts(true);

} // namespace

// Scans [from, pieceEnd) of a section for sites, judging each candidate's target before a
// site is made (most candidates are not sites), and returns the first position at or past
// pieceEnd that the scan would look at next. The scan is a walk whose next position depends
// on the position alone, so scans of neighbouring pieces can be joined where their walks meet.
template <class L>
uint64_t DisassemblerElf<L>::ScanX86Range(const X86Scan& scan, uint64_t from, uint64_t pieceEnd,
                                          X86SpanList* found) const
{
    const SiteStarts& starts = scan.ripForms ? kX64SiteStarts : kX86SiteStarts;
    const uint64_t sectionEnd = scan.sectionEnd;
    uint64_t p = from;
    while (p < pieceEnd) {
        // Most byte pairs cannot start a site; pass them in a tight loop. Every form is at
        // least five bytes long, so the pair never reaches past a section that can hold one.
        while (p < pieceEnd && sectionEnd - p >= 5 && !starts.Has(start_ + p))
            ++p;
        if (p >= pieceEnd)
            break;
        const uint64_t remaining = sectionEnd - p;
        if (remaining < 5)
            return sectionEnd;
        const uint8_t* b = start_ + p;
        uint64_t field = 0;
        if (b[0] == 0xE8 || b[0] == 0xE9)
            field = p + 1;
        else if (remaining >= 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B)
            field = p + 2;
        else if (scan.ripForms && remaining >= 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25))
            field = p + 2;
        else if (scan.ripForms && remaining >= 7 && (b[0] == 0x48 || b[0] == 0x49) && (b[1] == 0x8B || b[1] == 0x8D)
                 && (b[2] & 0xC7) == 0x05)
            field = p + 3;
        if (field == 0) {
            ++p;
            continue;
        }
        const uint32_t rva = uint32_t(scan.addr + (field - scan.offset));
        if (!TargetInLoadSegment(rva + ReadU32(start_ + field) + 4)) {
            ++p;
            continue;
        }
        if (!found->PushBack({uint32_t(p), uint32_t(field)}))
            throw std::bad_alloc();
        p = field + 4;
    }
    return p;
}

namespace {

// Sections at least this long are scanned in pieces on several threads.
constexpr uint64_t kScanPieceSize = uint64_t(4) << 20;
constexpr uint32_t kMaxScanThreads = 8;

} // namespace

// Each piece is scanned from its own start; then, piece by piece, the walk that came out of
// the previous piece is stepped on alone until it meets the piece's own walk (a few bytes at
// most, when the previous piece's last site reaches into this one), from where the two find the
// same sites. The result is the one a single scan of the section gives.
template <class L>
void DisassemblerElf<L>::ScanX86Pieces(const X86Scan& scan,
                                       std::vector<X86SpanList>* lists,
                                       std::vector<X86SpanSegment>* segments) const
{
    const uint64_t size = scan.sectionEnd - scan.offset;
    // One core stays with the patch body's decoder, which runs meanwhile.
    const uint32_t cores = std::max(2u, std::thread::hardware_concurrency()) - 1;
    const uint64_t pieces = std::min<uint64_t>({kMaxScanThreads, cores, size / kScanPieceSize});
    if (pieces < 2) {
        lists->resize(1);
        ScanX86Range(scan, scan.offset, scan.sectionEnd, &lists->front());
        segments->push_back({&lists->front(), 0, lists->front().size()});
        return;
    }
    // The piece lists, then one list of the steps taken alone at each join.
    lists->resize(2 * pieces);
    std::vector<uint64_t> pieceStops(pieces);
    std::vector<uint64_t> bounds(pieces + 1);
    for (uint64_t i = 0; i <= pieces; ++i)
        bounds[i] = i == pieces ? scan.sectionEnd : scan.offset + i * (size / pieces);
    std::vector<std::thread> threads(pieces);
    std::vector<char> failed(pieces, 0);
    const auto scanPiece = [&](uint64_t i) {
        try {
            pieceStops[i] = ScanX86Range(scan, bounds[i], bounds[i + 1], &(*lists)[i]);
        } catch (const std::bad_alloc&) {
            failed[i] = 1;
        }
    };
    for (uint64_t i = 1; i < pieces; ++i) {
        try {
            threads[i] = std::thread(scanPiece, i);
        } catch (const std::system_error&) {
            scanPiece(i);
        }
    }
    scanPiece(0);
    for (uint64_t i = 1; i < pieces; ++i) {
        if (threads[i].joinable())
            threads[i].join();
    }
    if (std::find(failed.begin(), failed.end(), 1) != failed.end())
        throw std::bad_alloc();

    segments->push_back({&(*lists)[0], 0, (*lists)[0].size()});
    uint64_t p = pieceStops[0];
    for (uint64_t i = 1; i < pieces; ++i) {
        const X86SpanList& own = (*lists)[i];
        X86SpanList& alone = (*lists)[pieces + i];
        size_t j = 0;
        bool joined = false;
        while (!joined && p < bounds[i + 1]) {
            while (j < own.size() && own[uint32_t(j)].field + 4 <= p)
                ++j;
            // The piece's own walk passes every position of the piece outside its sites'
            // insides: once the walks share a position, they go on together.
            joined = j == own.size() || own[uint32_t(j)].start >= p;
            if (!joined)
                p = ScanX86Range(scan, p, p + 1, &alone);
        }
        segments->push_back({&alone, 0, alone.size()});
        if (joined) {
            segments->push_back({&own, j, own.size() - j});
            p = pieceStops[i];
        }
    }
}

namespace {

constexpr size_t kMinSitesPerThread = size_t(1) << 16;

} // namespace

template <class L>
void DisassemblerElf<L>::AddX86Sites(const X86Scan& scan, const std::vector<X86SpanSegment>& segments)
{
    size_t total = 0;
    for (const X86SpanSegment& segment : segments)
        total += segment.count;
    if (total > x86Rel32Sites.kMaxCount || !x86Rel32Sites.EnsureFree(uint32_t(total)))
        throw std::bad_alloc();
    X86Rel32Site* const added = x86Rel32Sites.FreeSpace();
    const auto convert = [&](size_t from, size_t to) {
        size_t at = 0;
        for (const X86SpanSegment& segment : segments) {
            const size_t begin = std::max(from, at);
            const size_t end = std::min(to, at + segment.count);
            for (size_t k = begin; k < end; ++k) {
                const X86SiteSpan& span = (*segment.spans)[uint32_t(segment.first + (k - at))];
                const uint32_t rva = uint32_t(scan.addr + (span.field - scan.offset));
                added[k] = {rva, ReadU32(start_ + span.field) + 4, 0xFFFFFFFFu};
            }
            at += segment.count;
        }
    };
    const uint32_t cores = std::max(2u, std::thread::hardware_concurrency()) - 1;
    const size_t count = std::max<size_t>(1, std::min<size_t>(cores, total / kMinSitesPerThread));
    std::vector<std::thread> threads(count);
    for (size_t t = 1; t < count; ++t) {
        try {
            threads[t] = std::thread(convert, total * t / count, total * (t + 1) / count);
        } catch (const std::system_error&) {
            convert(total * t / count, total * (t + 1) / count);
        }
    }
    convert(0, total / count);
    for (std::thread& thread : threads) {
        if (thread.joinable())
            thread.join();
    }
    x86Rel32Sites.CommitFreeSpace(uint32_t(total));
}

template <class L>
bool DisassemblerElf<L>::EmitSite(DisassembledProgram*, const TypedRVA&, uint32_t)
{
    return false;
}

template <class L>
bool DisassemblerElf<L>::ScanX86Section(const uint8_t* sh, bool ripForms)
{
    const X86Scan scan{SectionOffset(sh), SectionAddr(sh), uint64_t(SectionOffset(sh)) + SectionSize(sh), ripForms};
    std::vector<X86SpanList> lists;
    std::vector<X86SpanSegment> segments;
    ScanX86Pieces(scan, &lists, &segments);
    AddX86Sites(scan, segments);
    return true;
}

template <class L>
bool DisassemblerElf<L>::Disassemble(DisassembledProgram* program)
{
    if (reason_)
        return false;
    program->setImageBase(0);
    if (!SectionsInsideBuffer())
        return false;
    emittedBytes_ = 0;
    try {
        BuildIndexes();
        if (!CollectAbs32Rvas() || !CollectRel32Sites() || !MapToFileOffsets())
            return false;
        // A program that counts its branch targets first is walked twice, the same way.
        if (program->CountingBranchTargets()) {
            if (!WalkSections(program) || !program->FinishCountingBranchTargets())
                return false;
            emittedBytes_ = 0;
        }
        if (!WalkSections(program))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    program->NumberLabels();
    return true;
}

template <class L>
bool DisassemblerElf<L>::MapToFileOffsets()
{
    abs32Offsets_.clear();
    for (uint32_t rva : abs32Rvas) {
        uint32_t offset = 0;
        if (!RvaToFileOffset(rva, &offset))
            return false;
        abs32Offsets_.push_back(offset);
    }
    if ((rel32Sites.size() != 0 || x86Rel32Sites.size() != 0) && programCount_ == 0)
        return false;
    for (uint32_t i = 0; i < rel32Sites.size(); ++i) {
        if (!RvaToFileOffset(rel32Sites[i].rva, &rel32Sites[i].file_offset))
            return false;
    }
    for (uint32_t i = 0; i < x86Rel32Sites.size(); ++i) {
        if (!RvaToFileOffset(x86Rel32Sites[i].rva, &x86Rel32Sites[i].file_offset))
            return false;
    }
    return true;
}

template <class L>
bool DisassemblerElf<L>::WalkSections(DisassembledProgram* program)
{
    nextAbs_ = 0;
    nextSite_ = 0;
    shortRunEnd_ = 0;

    Word position = 0;
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        const uint8_t* sh = SectionHeader(i);
        const uint32_t type = SectionType(sh);
        const Word offset = SectionOffset(sh);
        const Word size = SectionSize(sh);
        if (position < offset && !AddRange(program, position, offset - position))
            return false;
        position = offset;
        auto nextAbsInside = [&]() {
            return nextAbs_ < abs32Offsets_.size() && abs32Offsets_[nextAbs_] >= offset
                && abs32Offsets_[nextAbs_] < Word(offset + size);
        };
        switch (type) {
        case SHT_PROGBITS:
            if (!WalkProgbits(sh, program))
                return false;
            position = offset + size;
            break;
        case SHT_REL:
            if (!WalkRelocSection(sh, program))
                return false;
            position = offset + size;
            break;
        case SHT_NOBITS:
        case SHT_INIT_ARRAY:
        case SHT_FINI_ARRAY:
            while (nextAbsInside()) {
                if (!program->CountingBranchTargets())
                    ::log("Skipping relocation entry for unsupported section: " + std::to_string(type),
                          LogLevel_DEBUG, std::string(), 0);
                ++nextAbs_;
            }
            break;
        default:
            if (nextAbsInside() && !program->CountingBranchTargets())
                ::log("Relocation address in unrecognized ELF section: " + std::to_string(type), LogLevel_DEBUG,
                      std::string(), 0);
            break;
        }
    }
    if (position < length_ && !AddRange(program, position, length_ - position))
        return false;
    return nextAbs_ == abs32Offsets_.size();
}

namespace {

constexpr size_t kPrefetchDistance = 16;
// Runs of at least this many sites are handed to the program at once.
constexpr size_t kMinBulkSites = 4096;

} // namespace

// The sites of an image are all of one list: x86 ones, or those of other kinds.
template <class L>
struct DisassemblerElf<L>::SiteList {
    SiteList(const GrowableBuffer<TypedRVA>& others, const X86SiteVector& x86Sites)
        : other(others), x86Rel32(x86Sites), x86(x86Sites.size() != 0),
          count(x86 ? x86Sites.size() : others.size())
    {
    }
    uint32_t FileOffset(size_t i) const
    {
        return x86 ? x86Rel32[uint32_t(i)].file_offset : other[uint32_t(i)].file_offset;
    }
    uint32_t RelativeTarget(size_t i) const
    {
        return x86 ? x86Rel32[uint32_t(i)].relative_target : other[uint32_t(i)].relative_target;
    }

    const GrowableBuffer<TypedRVA>& other;
    const X86SiteVector& x86Rel32;
    const bool x86;
    const size_t count;
};

template <class L>
size_t DisassemblerElf<L>::X86RunEnd(size_t first, uint64_t limit, uint32_t delta) const
{
    size_t end = first;
    for (; end < x86Rel32Sites.size(); ++end) {
        const X86Rel32Site& site = x86Rel32Sites[uint32_t(end)];
        if (uint64_t(site.file_offset) + 4 > limit || site.rva != site.file_offset + delta
            || (end > first
                && uint64_t(x86Rel32Sites[uint32_t(end - 1)].file_offset) + 4 > site.file_offset))
            break;
    }
    return end;
}

// With no absolute location left in the section, the steps of WalkProgbits from a site reduce
// to: raw bytes up to each next site and the site itself, for as long as the sites lie in order
// and end well inside the section. Leaves the rest (*pos at the end of the last site taken) to
// those steps.
template <class L>
bool DisassemblerElf<L>::WalkSiteRun(DisassembledProgram* program, uint64_t sectionEnd, Word delta,
                                     Word* pos)
{
    Word at = *pos;
    for (; nextSite_ < rel32Sites.size(); ++nextSite_) {
        const TypedRVA& site = rel32Sites[uint32_t(nextSite_)];
        const Word siteOffset = site.file_offset;
        if (siteOffset < at || uint64_t(siteOffset) + 3 >= sectionEnd)
            break;
        if (siteOffset > at && !AddRange(program, at, siteOffset - at))
            return false;
        if (!EmitSite(program, site, uint32_t(siteOffset + delta + site.relative_target)))
            return false;
        at = siteOffset + site.size;
    }
    *pos = at;
    return true;
}

template <class L>
bool DisassemblerElf<L>::WalkProgbits(const uint8_t* sh, DisassembledProgram* program)
{
    const Word offset = SectionOffset(sh);
    const Word addr = SectionAddr(sh);
    const Word delta = addr - offset;
    const Word sectionEnd = offset + SectionSize(sh);
    if (!program->AddOrigin(uint32_t(addr)))
        return false;
    const uint64_t bufferLength = uint64_t(end_ - start_);
    const SiteList sites{rel32Sites, x86Rel32Sites};
    const bool direct = program->EncodingDirectly();
    Word pos = offset;
    while (pos < sectionEnd) {
        const bool absLeft = nextAbs_ < abs32Offsets_.size();
        if (absLeft && pos > abs32Offsets_[nextAbs_])
            return false;
        while (nextSite_ < sites.count && sites.FileOffset(nextSite_) < pos)
            ++nextSite_;
        // Label lookups land all over a large table; start the one of a later site now. A
        // program encoded directly looks up no labels of sites.
        if (!direct && nextSite_ + kPrefetchDistance < sites.count) {
            const size_t later = nextSite_ + kPrefetchDistance;
            program->PrefetchRel32Label(uint32_t(sites.FileOffset(later) + delta + sites.RelativeTarget(later)));
        }
        const bool siteLeft = nextSite_ < sites.count;
        const uint32_t siteOffset = siteLeft ? sites.FileOffset(nextSite_) : 0;
        Word next = sectionEnd;
        if (absLeft)
            next = std::min<Word>(sectionEnd, abs32Offsets_[nextAbs_]);
        if (siteLeft && next > Word(uint32_t(siteOffset + 3)))
            next = siteOffset;

        if (next > pos) {
            if (!AddRange(program, pos, next - pos))
                return false;
            pos = next;
        } else if (absLeft && pos == abs32Offsets_[nextAbs_]) {
            if (!RangeInside(pos, 4, bufferLength))
                return false;
            if (!program->AddAbs32(program->Abs32LabelAt(ReadU32(start_ + pos))))
                return false;
            pos += 4;
            ++nextAbs_;
        } else if (siteLeft && pos == siteOffset) {
            // A long run of sites with nothing else between them (the bulk of a large code
            // section) goes to the program at once, as the steps below would add it.
            const bool absInside = absLeft && abs32Offsets_[nextAbs_] < sectionEnd;
            const size_t runStart = nextSite_;
            if (!sites.x86 && !absInside && !WalkSiteRun(program, sectionEnd, delta, &pos))
                return false;
            if (nextSite_ != runStart)
                continue;
            const bool bulk = sites.x86 && !absInside && nextSite_ >= shortRunEnd_ && direct;
            const size_t runEnd = bulk ? X86RunEnd(nextSite_, sectionEnd, uint32_t(delta)) : nextSite_;
            if (runEnd - nextSite_ >= kMinBulkSites) {
                const X86Rel32Site& last = x86Rel32Sites[uint32_t(runEnd - 1)];
                emittedBytes_ += (uint64_t(last.file_offset) + 4 - pos) - 4 * (runEnd - nextSite_);
                if (emittedBytes_ > 2 * bufferLength + 4096
                    || !program->AddRel32Runs(start_, bufferLength, &x86Rel32Sites[uint32_t(nextSite_)],
                                              uint32_t(runEnd - nextSite_)))
                    return false;
                pos = last.file_offset + 4;
                nextSite_ = runEnd;
                continue;
            }
            shortRunEnd_ = std::max(shortRunEnd_, runEnd);
            const uint32_t target = uint32_t(pos + delta + sites.RelativeTarget(nextSite_));
            if (sites.x86) {
                if (!program->AddRel32At(target))
                    return false;
                pos += 4;
            } else {
                const TypedRVA& site = rel32Sites[uint32_t(nextSite_)];
                if (!EmitSite(program, site, target))
                    return false;
                pos += site.size;
            }
            ++nextSite_;
        } else {
            return false;
        }
    }
    return true;
}

template class DisassemblerElf<Elf32Layout>;
template class DisassemblerElf<Elf64Layout>;

} // namespace vxpatch
