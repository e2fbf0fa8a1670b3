#ifndef VXPATCH_DISASSEMBLERELF_H
#define VXPATCH_DISASSEMBLERELF_H

#include <cstdint>
#include <utility>
#include <vector>

#include "disassembler.h"
#include "encodedprogram.h"
#include "growablebuffer.h"
#include "intervalindex.h"

namespace vxpatch {

class DisassembledProgram;

// Field offsets of the 32-bit ELF structures.
struct Elf32Layout {
    using Word = uint32_t;
    static constexpr uint32_t kHeaderSize = 52;
    static constexpr uint32_t kPhoff = 28, kShoff = 32, kPhnum = 44, kShentsize = 46, kShnum = 48,
                              kShstrndx = 50;
    static constexpr uint32_t kSectionHeaderSize = 40;
    static constexpr uint32_t kShType = 4, kShAddr = 12, kShOffset = 16, kShSize = 20, kShEntsize = 36;
    static constexpr uint32_t kProgramHeaderSize = 32;
    static constexpr uint32_t kPhType = 0, kPhOffset = 4, kPhVaddr = 8, kPhFilesz = 16, kPhMemsz = 20;
    static constexpr uint32_t kRelSize = 8;
};

// Field offsets of the 64-bit ELF structures.
struct Elf64Layout {
    using Word = uint64_t;
    static constexpr uint32_t kHeaderSize = 64;
    static constexpr uint32_t kPhoff = 32, kShoff = 40, kPhnum = 56, kShentsize = 58, kShnum = 60,
                              kShstrndx = 62;
    static constexpr uint32_t kSectionHeaderSize = 64;
    static constexpr uint32_t kShType = 4, kShAddr = 16, kShOffset = 24, kShSize = 32, kShEntsize = 56;
    static constexpr uint32_t kProgramHeaderSize = 56;
    static constexpr uint32_t kPhType = 0, kPhOffset = 8, kPhVaddr = 16, kPhFilesz = 32, kPhMemsz = 40;
    static constexpr uint32_t kRelSize = 16;
};

// Common part of the ELF disassemblers, for one word size: the header check,
// the collection of absolute locations from REL sections and the walk of the
// sections into a DisassembledProgram. A variant supplies its machine number,
// which relocations are absolute locations, how a REL section is emitted and
// which relative branch sites its code holds. Structures are read in place
// from the borrowed image buffer; one thread at a time.
template <class Layout>
class DisassemblerElf : public Disassembler {
public:
    using Word = typename Layout::Word;

    // A relative branch site found in a PROGBITS section, other than an x86 one: where it lies,
    // its target relative to it, and what the variant needs to emit it (its op, type and size,
    // and where the scan found its bytes). Images hold tens of thousands, so they are kept flat.
    struct TypedRVA {
        uint32_t rva;
        uint32_t relative_target;
        uint32_t file_offset;
        uint32_t op_offset;
        uint16_t cop;
        uint8_t type;
        uint8_t size;
    };

    // An x86 call or jump displacement, or a RIP-relative field: a 32-bit displacement from
    // the end of the field. Large images hold millions, so they are kept flat, apart from the
    // sites of other kinds.
    using X86Rel32Site = Rel32SiteRecord;

    DisassemblerElf(const uint8_t* start, uint32_t length);
    ~DisassemblerElf() override;

    bool ParseHeader() override;
    bool Disassemble(DisassembledProgram* program) override;

    virtual uint16_t ElfMachine() const = 0;
    // Gives the rva of an absolute location when the relocation is one.
    virtual bool RelocToRva(Word r_offset, Word r_info, uint32_t* rva) const = 0;
    virtual bool WalkRelocSection(const uint8_t* sectionHeader, DisassembledProgram* program) = 0;
    virtual bool ScanRel32(const uint8_t* sectionHeader) = 0;
    // Emits a site of rel32Sites, whose target is at `targetRva`.
    virtual bool EmitSite(DisassembledProgram* program, const TypedRVA& site, uint32_t targetRva);

protected:
    static constexpr uint32_t SHT_PROGBITS = 1, SHT_NOBITS = 8, SHT_REL = 9, SHT_INIT_ARRAY = 14,
                              SHT_FINI_ARRAY = 15;
    static constexpr uint32_t PT_LOAD = 1;

    uint16_t SectionCount() const { return sectionCount_; }
    const uint8_t* SectionHeader(uint32_t i) const;
    static uint32_t SectionType(const uint8_t* sh);
    static Word SectionAddr(const uint8_t* sh);
    static Word SectionOffset(const uint8_t* sh);
    static Word SectionSize(const uint8_t* sh);
    static Word SectionEntsize(const uint8_t* sh);
    // sh_size / sh_entsize; a section without an entry size holds no entries.
    static Word EntryCount(const uint8_t* sh);

    // File offset of an rva through the first program header that holds it in its file part.
    bool RvaToFileOffset(uint32_t rva, uint32_t* offset) const;
    // True when `target` lies in the memory image of a PT_LOAD segment.
    bool TargetInLoadSegment(uint32_t target) const;

    // Raw bytes [offset, offset + size) of the image; false when they leave the buffer.
    bool AddRange(DisassembledProgram* program, Word offset, Word size);

    // Appends a site for every x86 call, jump and conditional jump (plus the
    // RIP-relative forms when `ripForms`) whose target is in a PT_LOAD segment.
    bool ScanX86Section(const uint8_t* sectionHeader, bool ripForms);

    // A section to scan for x86 sites, and the start and displacement field of a site found.
    struct X86Scan {
        uint64_t offset;
        uint64_t addr;
        uint64_t sectionEnd;
        bool ripForms;
    };
    struct X86SiteSpan {
        uint32_t start;
        uint32_t field;
    };
    using X86SpanList = GrowableBuffer<X86SiteSpan>;
    // The sites of a section as consecutive pieces of span lists.
    struct X86SpanSegment {
        const X86SpanList* spans;
        size_t first;
        size_t count;
    };
    uint64_t ScanX86Range(const X86Scan& scan, uint64_t from, uint64_t pieceEnd, X86SpanList* found) const;
    // Fills `lists` (never grown once filled) and returns in `segments` the parts of them that
    // hold the section's sites, in order.
    void ScanX86Pieces(const X86Scan& scan, std::vector<X86SpanList>* lists,
                       std::vector<X86SpanSegment>* segments) const;
    // Appends a site for each span of `segments`, on several threads for many.
    void AddX86Sites(const X86Scan& scan, const std::vector<X86SpanSegment>& segments);

    std::vector<uint32_t> abs32Rvas;
    GrowableBuffer<TypedRVA> rel32Sites;
    // Grown without clearing, so that threads can fill the new room.
    using X86SiteVector = GrowableBuffer<X86Rel32Site>;
    X86SiteVector x86Rel32Sites;

private:
    bool SectionsInsideBuffer() const;
    void BuildIndexes();
    bool CollectAbs32Rvas();
    bool CollectRel32Sites();
    // Sorts rel32Sites stably by rva, given where each section's sites begin.
    template <class Less>
    void MergeSiteRuns(const std::vector<size_t>& runs, Less byRva);
    // Fills abs32Offsets_ and the sites' file offsets; false when one does not map.
    bool MapToFileOffsets();
    bool WalkSections(DisassembledProgram* program);
    bool WalkProgbits(const uint8_t* sh, DisassembledProgram* program);
    bool WalkSiteRun(DisassembledProgram* program, uint64_t sectionEnd, Word delta, Word* pos);
    struct SiteList;
    const uint8_t* ProgramHeader(uint32_t i) const;

    const uint8_t* header_ = nullptr;
    const uint8_t* sectionHeaders_ = nullptr;
    uint16_t sectionCount_ = 0;
    const uint8_t* programHeaders_ = nullptr;
    uint16_t programCount_ = 0;
    const uint8_t* stringSection_ = nullptr;

    // Program headers by rva (first in table order), PT_LOAD memory images, and
    // the file ranges of PROGBITS and REL sections; built before disassembling.
    IntervalIndex rvaIndex_;
    IntervalIndex loadIndex_;
    IntervalIndex contentIndex_;

    // Walk state: file offsets of abs32Rvas and the next unconsumed ones.
    std::vector<uint32_t> abs32Offsets_;
    size_t nextAbs_ = 0;
    size_t nextSite_ = 0;
    // Sites before this one belong to a run found too short to hand over at once; a run that
    // starts inside it ends where it ends.
    size_t shortRunEnd_ = 0;
    uint64_t emittedBytes_ = 0;
    // The end of the run of x86 sites from `first` that lie in ascending order, apart, before
    // `limit`, and at the rva their file offset has in a section at `delta` (rva - offset).
    size_t X86RunEnd(size_t first, uint64_t limit, uint32_t delta) const;
};

extern template class DisassemblerElf<Elf32Layout>;
extern template class DisassemblerElf<Elf64Layout>;

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERELF_H
