#include "encodedprogram.h"

#include <gtest/gtest.h>

#include "disassemblerelf32arm.h"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "programtesthelpers.h"

using namespace vxpatch;
using vxtest::Bytes;
using vxtest::EncodedProgramPtr;
using vxtest::Cat;
using vxtest::Le16;
using vxtest::Le32;
using vxtest::TableOf;

namespace {

Bytes Assemble(EncodedProgram& program, uint32_t* status)
{
    ByteSink sink;
    *status = AssembleEncodedProgram(&program, &sink);
    return Bytes(sink.data(), sink.data() + sink.size());
}

void PushBytes(EncodedProgram& program, const Bytes& bytes)
{
    ASSERT_TRUE(program.PushCopy(uint32_t(bytes.size()), bytes.data()));
}

// A program that uses every table, with gaps in both target tables.
void BuildFullProgram(EncodedProgram& program)
{
    program.image_base = 0x12345678;
    ASSERT_TRUE(program.SetAbs32Target(0, 0x2000));
    ASSERT_TRUE(program.SetAbs32Target(2, 0x1800)); // smaller than its predecessor
    ASSERT_TRUE(program.SetRel32Target(3, 0x9000));
    ASSERT_TRUE(program.SetRel32Target(1, 0x500));
    ASSERT_TRUE(program.FinishTargets());
    ASSERT_TRUE(program.PushOrigin(0x1000));
    PushBytes(program, {0x55, 0x89, 0xE5});
    ASSERT_TRUE(program.PushRel32(3));
    ASSERT_TRUE(program.PushAbs32(2));
    PushBytes(program, {0xC3});
    ASSERT_TRUE(program.PushOrigin(0x3000));
    ASSERT_TRUE(program.PushAbs32(0));
    ASSERT_TRUE(program.PushArmBranch(0x10D0, 1));
    ASSERT_TRUE(program.PushPeRelocTable(EXE_WIN_32_X86));
    PushBytes(program, Bytes(200, 0xAB));
}

void ExpectSamePrograms(const EncodedProgram& a, const EncodedProgram& b)
{
    EXPECT_EQ(a.image_base, b.image_base);
    EXPECT_EQ(TableOf(a.abs32_rvas), TableOf(b.abs32_rvas));
    EXPECT_EQ(TableOf(a.rel32_rvas), TableOf(b.rel32_rvas));
    EXPECT_EQ(TableOf(a.ops), TableOf(b.ops));
    EXPECT_EQ(TableOf(a.origins), TableOf(b.origins));
    EXPECT_EQ(TableOf(a.copy_counts), TableOf(b.copy_counts));
    EXPECT_EQ(Bytes(a.copy_bytes.data(), a.copy_bytes.data() + a.copy_bytes.size()),
              Bytes(b.copy_bytes.data(), b.copy_bytes.data() + b.copy_bytes.size()));
    EXPECT_EQ(TableOf(a.abs32_ix), TableOf(b.abs32_ix));
    EXPECT_EQ(TableOf(a.rel32_ix), TableOf(b.rel32_ix));
}

// Serialises `program` into a fresh set, lets `edit` touch the streams, and
// returns the packed set.
template <typename Edit>
Bytes Serialise(EncodedProgram& program, Edit edit)
{
    ByteSinkSet set;
    EXPECT_EQ(1u, EncodedProgramToSet(&program, &set));
    edit(set);
    ByteSink packed;
    EXPECT_TRUE(set.CopyTo(&packed));
    return Bytes(packed.data(), packed.data() + packed.size());
}

Bytes Serialise(EncodedProgram& program)
{
    return Serialise(program, [](ByteSinkSet&) {});
}

uint32_t Parse(const Bytes& packed, EncodedProgramPtr* out)
{
    ByteSourceSet set;
    if (!set.Init(packed.data(), uint32_t(packed.size())))
        return 0;
    static EncodedProgram untouched;
    EncodedProgram* program = &untouched;
    const uint32_t status = EncodedProgramFromSet(&set, &program);
    if (status != 1) {
        EXPECT_EQ(&untouched, program); // a failed parse leaves the result alone
        return status;
    }
    out->reset(program);
    return status;
}

} // namespace

TEST(EncodedProgram, FoldsConsecutiveCopiesIntoOneRun)
{
    EncodedProgram program;
    PushBytes(program, {1});
    PushBytes(program, {2});
    PushBytes(program, {3, 4, 5});
    EXPECT_EQ(std::vector<uint32_t>({OP_COPY_RUN}), TableOf(program.ops));
    EXPECT_EQ(std::vector<uint32_t>({5}), TableOf(program.copy_counts));
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5}),
              Bytes(program.copy_bytes.data(), program.copy_bytes.data() + 5));
}

TEST(EncodedProgram, KeepsLoneByteAndEmptyRun)
{
    EncodedProgram program;
    ASSERT_TRUE(program.PushOrigin(0x10));
    PushBytes(program, {7});
    ASSERT_TRUE(program.PushRel32(0));
    ASSERT_TRUE(program.PushCopy(0, nullptr));
    EXPECT_EQ(std::vector<uint32_t>({OP_SET_ORIGIN, OP_COPY_BYTE, OP_REL32, OP_COPY_RUN}),
              TableOf(program.ops));
    EXPECT_EQ(std::vector<uint32_t>({0}), TableOf(program.copy_counts));
    EXPECT_EQ(1u, program.copy_bytes.size());
}

TEST(EncodedProgram, FinishTargetsFillsHolesFromThePreviousEntry)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Target(3, 0x40));
    ASSERT_TRUE(program.SetRel32Target(1, 0x70));
    ASSERT_TRUE(program.SetRel32Target(4, 0x90));
    EXPECT_EQ(std::vector<uint32_t>({0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x40}),
              TableOf(program.abs32_rvas));
    ASSERT_TRUE(program.FinishTargets());
    EXPECT_EQ(std::vector<uint32_t>({0, 0, 0, 0x40}), TableOf(program.abs32_rvas));
    EXPECT_EQ(std::vector<uint32_t>({0, 0x70, 0x70, 0x70, 0x90}), TableOf(program.rel32_rvas));
}

TEST(EncodedProgram, RefusesTargetIndexBeyondTableLimit)
{
    EncodedProgram program;
    EXPECT_FALSE(program.SetAbs32Target(0xFFFFFFFF, 1));
    EXPECT_FALSE(program.SetRel32Target(0x3FFFFFFF, 1));
    EXPECT_EQ(0u, program.abs32_rvas.size());
}

TEST(EncodedProgramSerialisation, WritesTablesIntoTheirStreams)
{
    EncodedProgram program;
    program.image_base = 0x1'00400000; // only the low half is stored
    ASSERT_TRUE(program.SetAbs32Target(0, 0x10));
    ASSERT_TRUE(program.SetAbs32Target(1, 0x8));
    ASSERT_TRUE(program.SetRel32Target(0, 0x200));
    ASSERT_TRUE(program.PushOrigin(0x300));
    PushBytes(program, {0xAA, 0xBB});
    ASSERT_TRUE(program.PushAbs32(1));
    ASSERT_TRUE(program.PushArmBranch(0x30EA, 0));

    ByteSinkSet set;
    ASSERT_EQ(1u, EncodedProgramToSet(&program, &set));
    const auto streamBytes = [&set](uint32_t i) {
        ByteSink& s = *set.stream(i);
        return Bytes(s.data(), s.data() + s.size());
    };
    EXPECT_EQ(Bytes({0x80, 0x80, 0x80, 0x02, 0x01, 0x80, 0x06}), streamBytes(0));
    EXPECT_EQ(Bytes({0x04, 0x00, 0x01, 0x04, 0xEA, 0x61}), streamBytes(1));
    EXPECT_EQ(Bytes({0x02, 0xAA, 0xBB}), streamBytes(2));
    EXPECT_EQ(Bytes({0x01, 0x01}), streamBytes(3));
    EXPECT_EQ(Bytes({0x01, 0x00}), streamBytes(4));
    EXPECT_EQ(Bytes({0x02, 0x10, 0xF8, 0xFF, 0xFF, 0xFF, 0x0F}), streamBytes(5));
    EXPECT_EQ(Bytes({0x01, 0x80, 0x04}), streamBytes(6));
    EXPECT_EQ(Bytes({0x01, 0x02}), streamBytes(7));
    EXPECT_EQ(Bytes(), streamBytes(8));
}

TEST(EncodedProgramSerialisation, RoundTripKeepsEveryTable)
{
    EncodedProgram empty;
    EncodedProgram full;
    BuildFullProgram(full);
    for (EncodedProgram* original : {&empty, &full}) {
        SCOPED_TRACE(original == &empty ? "empty" : "full");
        EncodedProgramPtr parsed;
        ASSERT_EQ(1u, Parse(Serialise(*original), &parsed));
        ExpectSamePrograms(*original, *parsed);
        EXPECT_EQ(0u, parsed->image_base >> 32);
    }
}

TEST(EncodedProgramSerialisation, ExtraByteInAnyCheckedStreamFailsParsing)
{
    EncodedProgram program;
    BuildFullProgram(program);
    for (uint32_t stream = 0; stream < 10; ++stream) {
        SCOPED_TRACE(stream);
        const Bytes packed = Serialise(program, [stream](ByteSinkSet& set) {
            const uint8_t extra = 0;
            ASSERT_TRUE(set.stream(stream)->Write(&extra, 1));
        });
        EncodedProgramPtr parsed;
        EXPECT_EQ(stream == 9 ? 1u : 23u, Parse(packed, &parsed));
        EXPECT_EQ(stream == 9, parsed != nullptr);
    }
}

TEST(EncodedProgramSerialisation, RefusesToWriteIntoFewerThanEightStreams)
{
    EncodedProgram program;
    ByteSinkSet set;
    set.SetCount(7);
    EXPECT_EQ(20u, EncodedProgramToSet(&program, &set));
    set.SetCount(8);
    EXPECT_EQ(1u, EncodedProgramToSet(&program, &set));
}

TEST(EncodedProgramSerialisation, RejectsSetsOfFewerThanNineStreams)
{
    EncodedProgram program;
    const Bytes packed = Serialise(program, [](ByteSinkSet& set) { set.SetCount(8); });
    EncodedProgramPtr parsed;
    EXPECT_EQ(23u, Parse(packed, &parsed));
}

TEST(EncodedProgramSerialisation, RejectsCountsLargerThanTheirStream)
{
    struct Case {
        const char* name;
        uint32_t stream;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"ops count without ops", 1, {0x05, 0x00}},
        {"huge ops count", 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x03}},
        {"too few raw bytes", 2, {0x04, 0x01, 0x02, 0x03}},
        {"truncated varint", 3, {0x01, 0x80}},
        {"truncated delta", 5, {0x02, 0x10}},
    };
    EncodedProgram program;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes packed = Serialise(program, [&c](ByteSinkSet& set) {
            set.stream(c.stream)->Release();
            ASSERT_TRUE(set.stream(c.stream)->Write(c.bytes.data(), uint32_t(c.bytes.size())));
        });
        EncodedProgramPtr parsed;
        EXPECT_EQ(23u, Parse(packed, &parsed));
    }
}

TEST(EncodedProgramAssembly, WritesRelativeAndAbsoluteFieldsAndCopies)
{
    EncodedProgram program;
    program.image_base = 0xABCD'00400000;
    ASSERT_TRUE(program.SetRel32Target(0, 0x200));
    ASSERT_TRUE(program.SetAbs32Target(0, 0x1234));
    ASSERT_TRUE(program.PushOrigin(0x100));
    ASSERT_TRUE(program.PushRel32(0));
    PushBytes(program, {0x90});
    PushBytes(program, {0x91, 0x92});
    ASSERT_TRUE(program.PushAbs32(0));
    ASSERT_TRUE(program.PushRel32(0)); // at 0x10B
    ASSERT_TRUE(program.PushOrigin(0x300));
    ASSERT_TRUE(program.PushRel32(0));

    uint32_t status = 0;
    const Bytes out = Assemble(program, &status);
    ASSERT_EQ(1u, status);
    EXPECT_EQ(Cat({Le32(0xFC), {0x90, 0x91, 0x92}, Le32(0x00401234), Le32(0x200 - 4 - 0x10B),
                   Le32(uint32_t(0x200 - 4 - 0x300))}),
              out);
    EXPECT_EQ(std::vector<uint32_t>({0x107}), TableOf(program.abs32_sites));
}

TEST(EncodedProgramAssembly, PlacesPeRelocationBlocksWithPadding)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Target(0, 0x10));
    PushBytes(program, {0xEE, 0xFF});
    ASSERT_TRUE(program.PushPeRelocTable(EXE_WIN_32_X86));
    for (uint32_t site : {0x1000u, 0x1004u, 0x2008u}) {
        ASSERT_TRUE(program.PushOrigin(site));
        ASSERT_TRUE(program.PushAbs32(0));
    }

    uint32_t status = 0;
    const Bytes out = Assemble(program, &status);
    ASSERT_EQ(1u, status);
    const Bytes table = Cat({Le32(0x1000), Le32(12), Le16(0x3000), Le16(0x3004), Le32(0x2000),
                             Le32(12), Le16(0x3008), Le16(0)});
    EXPECT_EQ(Cat({{0xEE, 0xFF}, table, Le32(0x10), Le32(0x10), Le32(0x10)}), out);
}

TEST(EncodedProgramAssembly, Pe64TableUsesEntryTypeTen)
{
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Target(0, 0));
    ASSERT_TRUE(program.PushOrigin(0x5FFC));
    ASSERT_TRUE(program.PushAbs32(0));
    ASSERT_TRUE(program.PushPeRelocTable(EXE_WIN_32_X64));

    uint32_t status = 0;
    const Bytes out = Assemble(program, &status);
    ASSERT_EQ(1u, status);
    EXPECT_EQ(Cat({Le32(0), Le32(0x5000), Le32(12), Le16(0xAFFC), Le16(0)}), out);
}

TEST(EncodedProgramAssembly, NoSitesGiveNoPeTable)
{
    EncodedProgram program;
    ASSERT_TRUE(program.PushPeRelocTable(EXE_WIN_32_X86));
    PushBytes(program, {1, 2});
    uint32_t status = 0;
    EXPECT_EQ(Bytes({1, 2}), Assemble(program, &status));
    EXPECT_EQ(1u, status);
}

TEST(EncodedProgramAssembly, SplitsOverfullPeBlockInsteadOfOverrunning)
{
    // 5000 fields written again and again into one page.
    EncodedProgram program;
    ASSERT_TRUE(program.SetAbs32Target(0, 0));
    ASSERT_TRUE(program.PushPeRelocTable(EXE_WIN_32_X86));
    for (uint32_t i = 0; i < 5000; ++i) {
        ASSERT_TRUE(program.PushOrigin(0x7000 + (i % 1000) * 4));
        ASSERT_TRUE(program.PushAbs32(0));
    }
    uint32_t status = 0;
    const Bytes out = Assemble(program, &status);
    ASSERT_EQ(1u, status);
    const uint32_t firstBlock = 8 + 2 * 4096;
    const uint32_t secondBlock = 8 + 2 * 904;
    ASSERT_EQ(firstBlock + secondBlock + 5000 * 4, out.size());
    EXPECT_EQ(Cat({Le32(0x7000), Le32(firstBlock)}), Bytes(out.begin(), out.begin() + 8));
    EXPECT_EQ(Cat({Le32(0x7000), Le32(secondBlock)}),
              Bytes(out.begin() + firstBlock, out.begin() + firstBlock + 8));
}

TEST(EncodedProgramAssembly, ElfTablesSortAllButTheLastSite)
{
    struct Case {
        uint32_t op;
        uint32_t type;
    };
    for (const Case& c : {Case{OP_ELF_RELOCS_X86, 8}, Case{OP_ELF_RELOCS_ARM, 23}}) {
        SCOPED_TRACE(c.type);
        EncodedProgram program;
        ASSERT_TRUE(program.SetAbs32Target(0, 0x44));
        PushBytes(program, {0x7F});
        ASSERT_TRUE(c.op == OP_ELF_RELOCS_X86 ? program.PushElfRelocTable()
                                              : program.PushElfArmRelocTable());
        for (uint32_t site : {0x3000u, 0x1000u, 0x2000u}) {
            ASSERT_TRUE(program.PushOrigin(site));
            ASSERT_TRUE(program.PushAbs32(0));
        }
        uint32_t status = 0;
        const Bytes out = Assemble(program, &status);
        ASSERT_EQ(1u, status);
        EXPECT_EQ(Cat({{0x7F}, Le32(0x1000), Le32(c.type), Le32(0x3000), Le32(c.type),
                       Le32(0x2000), Le32(c.type), Le32(0x44), Le32(0x44), Le32(0x44)}),
                  out);
    }
}

TEST(EncodedProgramAssembly, EncodesArmBranchesOfAllFiveKinds)
{
    struct Case {
        uint16_t op;
        uint32_t target; // the branch sits at 0x1000
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {0x10D0, 0x1020, {0x0E, 0xD0}},             // 16-bit conditional
        {0x201C, 0x1040, {0x1E, 0xE0}},             // 16-bit branch
        {0x30EA, 0x2008, {0x00, 0x04, 0x00, 0xEA}}, // ARM B
        {0x44F7, 0x2004, {0x01, 0xF0, 0x00, 0xF8}}, // wide BL
        {0x5001, 0x1804, {0x40, 0xF0, 0x00, 0x84}}, // wide conditional
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op);
        EncodedProgram program;
        ASSERT_TRUE(program.SetRel32Target(0, c.target));
        ASSERT_TRUE(program.PushOrigin(0x1000));
        ASSERT_TRUE(program.PushArmBranch(c.op, 0));
        ASSERT_TRUE(program.PushArmBranch(c.op, 0)); // address advanced by the first
        uint32_t status = 0;
        const Bytes out = Assemble(program, &status);
        ASSERT_EQ(1u, status);
        ASSERT_EQ(2 * c.bytes.size(), out.size());
        EXPECT_EQ(c.bytes, Bytes(out.begin(), out.begin() + c.bytes.size()));
    }
}

TEST(EncodedProgramAssembly, ReassemblesDecodedArmBranchesBitForBit)
{
    struct Case {
        uint32_t kind;
        uint32_t bits;
        uint32_t rva;
    };
    const std::vector<Case> cases = {
        {0, 0xD1F0, 0x2000},     {0, 0xDA7F, 0x2002},     {1, 0xE400, 0x3000},
        {1, 0xE3FF, 0x3002},     {2, 0xEBFFFFFE, 0x8000}, {2, 0x0A123456, 0x8004},
        {3, 0xF7FFFFFE, 0x4000}, {3, 0xF000E802, 0x4002}, {3, 0xF400D000, 0x4004},
        {4, 0xF0408400, 0x5000}, {4, 0xF6BFAFFE, 0x5002},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        uint16_t cop = 0;
        uint32_t relative = 0;
        ASSERT_TRUE(DisassemblerElf32ARM::DecodeArmBranch(c.kind, c.bits, c.rva, &cop, &relative));
        EncodedProgram program;
        ASSERT_TRUE(program.SetRel32Target(0, c.rva + relative));
        ASSERT_TRUE(program.PushOrigin(c.rva));
        ASSERT_TRUE(program.PushArmBranch(cop, 0));
        uint32_t status = 0;
        const Bytes out = Assemble(program, &status);
        ASSERT_EQ(1u, status);
        // Wide Thumb forms store the first halfword first.
        const Bytes wide = Cat({Le16(uint16_t(c.bits >> 16)), Le16(uint16_t(c.bits))});
        const Bytes expected = c.kind <= 1 ? Le16(uint16_t(c.bits))
                             : c.kind == 2 ? Le32(c.bits)
                                           : wide;
        EXPECT_EQ(expected, out);
    }
}

TEST(EncodedProgramAssembly, FailsWith26OnProgramsThatCannotBeAssembled)
{
    struct Case {
        const char* name;
        void (*build)(EncodedProgram&);
    };
    const std::vector<Case> cases = {
        {"origins used up", [](EncodedProgram& p) { p.ops.PushBack(OP_SET_ORIGIN); }},
        {"copy counts used up", [](EncodedProgram& p) { p.ops.PushBack(OP_COPY_RUN); }},
        {"copy bytes run out",
         [](EncodedProgram& p) {
             p.ops.PushBack(OP_COPY_RUN);
             p.copy_counts.PushBack(3);
             p.copy_bytes.Write(reinterpret_cast<const uint8_t*>("ab"), 2);
         }},
        {"copy byte without byte", [](EncodedProgram& p) { p.ops.PushBack(OP_COPY_BYTE); }},
        {"rel32 indexes used up",
         [](EncodedProgram& p) {
             p.SetRel32Target(0, 0);
             p.ops.PushBack(OP_REL32);
         }},
        {"rel32 index out of range",
         [](EncodedProgram& p) {
             p.SetRel32Target(0, 0);
             p.PushRel32(1);
         }},
        {"abs32 indexes used up",
         [](EncodedProgram& p) {
             p.SetAbs32Target(0, 0);
             p.ops.PushBack(OP_ABS32);
         }},
        {"abs32 index out of range", [](EncodedProgram& p) { p.PushAbs32(0); }},
        {"arm index out of range", [](EncodedProgram& p) { p.PushArmBranch(0x10D0, 0); }},
        {"arm kind zero",
         [](EncodedProgram& p) {
             p.SetRel32Target(0, 0);
             p.PushArmBranch(0x0FFF, 0);
         }},
        {"arm kind six",
         [](EncodedProgram& p) {
             p.SetRel32Target(0, 0);
             p.PushArmBranch(0x6000, 0);
         }},
        {"second pe table",
         [](EncodedProgram& p) {
             p.PushPeRelocTable(EXE_WIN_32_X86);
             p.PushPeRelocTable(EXE_WIN_32_X64);
         }},
        {"second elf table",
         [](EncodedProgram& p) {
             p.PushElfRelocTable();
             p.PushElfArmRelocTable();
         }},
        {"pe and elf table",
         [](EncodedProgram& p) {
             p.PushElfRelocTable();
             p.PushPeRelocTable(EXE_WIN_32_X86);
         }},
        {"copy count left over",
         [](EncodedProgram& p) {
             p.PushCopy(0, nullptr);
             p.copy_counts.PushBack(0);
         }},
        {"copy byte left over",
         [](EncodedProgram& p) {
             p.PushCopy(2, reinterpret_cast<const uint8_t*>("ab"));
             p.copy_bytes.Write(reinterpret_cast<const uint8_t*>("c"), 1);
         }},
        {"abs32 index left over",
         [](EncodedProgram& p) {
             p.SetAbs32Target(0, 0);
             p.PushAbs32(0);
             p.abs32_ix.PushBack(0);
         }},
        {"rel32 index left over",
         [](EncodedProgram& p) {
             p.SetRel32Target(0, 0);
             p.PushRel32(0);
             p.rel32_ix.PushBack(0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EncodedProgram program;
        c.build(program);
        uint32_t status = 0;
        Assemble(program, &status);
        EXPECT_EQ(26u, status);
    }
}

TEST(EncodedProgramAssembly, LeftOverOriginsAreAllowed)
{
    EncodedProgram program;
    ASSERT_TRUE(program.origins.PushBack(0x1000));
    PushBytes(program, {1});
    uint32_t status = 0;
    EXPECT_EQ(Bytes({1}), Assemble(program, &status));
    EXPECT_EQ(1u, status);
}

TEST(EncodedProgramAssembly, ParsedProgramAssemblesLikeTheOriginal)
{
    EncodedProgram original;
    BuildFullProgram(original);
    EncodedProgramPtr parsed;
    ASSERT_EQ(1u, Parse(Serialise(original), &parsed));
    uint32_t statusA = 0;
    uint32_t statusB = 0;
    const Bytes a = Assemble(original, &statusA);
    const Bytes b = Assemble(*parsed, &statusB);
    EXPECT_EQ(1u, statusA);
    EXPECT_EQ(1u, statusB);
    EXPECT_EQ(a, b);
    // Assembling twice gives the same bytes: the sites do not pile up.
    EXPECT_EQ(a, Assemble(original, &statusA));
}

TEST(EncodedProgramParsing, CorruptedInputStaysInsideItsStreams)
{
    EncodedProgram program;
    BuildFullProgram(program);
    const Bytes packed = Serialise(program);
    uint32_t parsedCount = 0;
    // Every truncation, and every byte replaced by a few telling values. Each
    // input lives in a buffer of exactly its size, so the address sanitizer
    // catches any read past it.
    std::vector<Bytes> inputs;
    for (size_t n = 0; n < packed.size(); ++n)
        inputs.emplace_back(packed.begin(), packed.begin() + n);
    for (size_t i = 0; i < packed.size(); ++i) {
        for (uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
            Bytes mutated = packed;
            mutated[i] = value;
            inputs.push_back(mutated);
        }
    }
    for (const Bytes& input : inputs) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[input.size() + 1]);
        std::copy(input.begin(), input.end(), exact.get());
        ByteSourceSet set;
        if (!set.Init(exact.get(), uint32_t(input.size())))
            continue;
        EncodedProgram* parsed = nullptr;
        const uint32_t status = EncodedProgramFromSet(&set, &parsed);
        ASSERT_TRUE(status == 1 || status == 23) << status;
        ASSERT_EQ(status == 1, parsed != nullptr);
        if (parsed) {
            ++parsedCount;
            ByteSink sink;
            const uint32_t assembled = AssembleEncodedProgram(parsed, &sink);
            EXPECT_TRUE(assembled == 1 || assembled == 26) << assembled;
            DestroyEncodedProgram(parsed);
        }
    }
    EXPECT_GT(parsedCount, 0u);
}
