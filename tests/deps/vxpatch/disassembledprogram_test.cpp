#include "disassembledprogram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "encodedprogram.h"
#include "labeltable.h"
#include "programtesthelpers.h"

using namespace vxpatch;
using vxtest::Bytes;
using vxtest::EncodedProgramPtr;
using vxtest::CapturedLog;
using vxtest::Le32;
using vxtest::TableOf;

namespace {

void ExpectOnlyLine(const CapturedLog& log, int level, const std::string& message)
{
    ASSERT_EQ(1u, log.lines.size());
    EXPECT_EQ(level, log.lines[0].level);
    EXPECT_EQ(message, log.lines[0].message);
    EXPECT_EQ("", log.lines[0].channel);
    EXPECT_EQ(0u, log.lines[0].id);
}

uint32_t CountKind(const DisassembledProgram& program, InsnKind kind)
{
    uint32_t n = 0;
    for (uint32_t i = 0; i < program.insnCount(); ++i)
        n += program.insnAt(i)->kind() == kind ? 1 : 0;
    return n;
}

Bytes AssembleAll(EncodedProgram& encoded)
{
    ByteSink sink;
    EXPECT_EQ(1u, AssembleEncodedProgram(&encoded, &sink));
    return Bytes(sink.data(), sink.data() + sink.size());
}

} // namespace

TEST(DisassembledProgram, SharesOneInstructionPerByteValue)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.AddByte(0x41));
    ASSERT_TRUE(program.AddByte(0xFF));
    ASSERT_TRUE(program.AddByte(0x41));
    ASSERT_EQ(3u, program.insnCount());
    EXPECT_EQ(program.insnAt(0), program.insnAt(2));
    EXPECT_EQ(0x413u, program.insnAt(0)->word);
    EXPECT_EQ(0xFF3u, program.insnAt(1)->word);
    EXPECT_EQ(INSN_BYTE, program.insnAt(1)->kind());
}

TEST(DisassembledProgram, FindOrMakeCountsReferences)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    Label* first = program.Rel32LabelAt(0x400);
    Label* second = program.Rel32LabelAt(0x400);
    Label* absolute = program.Abs32LabelAt(0x400);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, absolute);
    EXPECT_EQ(2u, first->count);
    EXPECT_EQ(1u, absolute->count);
    EXPECT_EQ(-1, first->index);
    EXPECT_EQ(0x400u, first->rva);
}

TEST(DisassembledProgram, NumbersEachMapInAscendingRvaOrder)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    for (uint32_t rva : {0x30u, 0x10u, 0x20u})
        program.Rel32LabelAt(rva);
    for (uint32_t rva : {0x500u, 0x100u})
        program.Abs32LabelAt(rva);
    CapturedLog log;
    program.NumberLabels();
    EXPECT_TRUE(log.lines.empty());
    std::vector<std::pair<uint32_t, int32_t>> rel;
    for (const auto& entry : program.rel32Labels())
        rel.emplace_back(entry.first, entry.second->index);
    EXPECT_EQ((std::vector<std::pair<uint32_t, int32_t>>{{0x10, 0}, {0x20, 1}, {0x30, 2}}), rel);
    EXPECT_EQ(0, program.abs32Labels().at(0x100)->index);
    EXPECT_EQ(1, program.abs32Labels().at(0x500)->index);
}

// Enough operands for the radix sort, with targets over the whole 32-bit range and repeats.
TEST(DisassembledProgram, IndexTargetsNumbersDistinctTargetsInAscendingOrder)
{
    GrowableBuffer<uint32_t> operands;
    std::map<uint32_t, uint32_t> expected;
    uint32_t state = 12345;
    for (uint32_t i = 0; i < 20000; ++i) {
        state = state * 1664525u + 1013904223u;
        const uint32_t target = i % 3 == 0 ? 0x1000u * (i % 7) : state;
        ASSERT_TRUE(operands.PushBack(target));
        expected.emplace(target, 0);
    }
    std::vector<uint32_t> original(operands.data(), operands.data() + operands.size());
    GrowableBuffer<uint32_t> targets;
    ASSERT_TRUE(IndexTargets(&operands, &targets));
    uint32_t index = 0;
    for (auto& entry : expected)
        entry.second = index++;
    ASSERT_EQ(expected.size(), targets.size());
    for (uint32_t i = 0; i < operands.size(); ++i)
        ASSERT_EQ(expected.at(original[i]), operands[i]) << i;
    for (const auto& entry : expected)
        ASSERT_EQ(entry.first, targets[entry.second]);
}

TEST(DisassembledProgram, ReportsUnreachableStates)
{
    {
        SCOPED_TRACE("label numbered twice");
        DisassembledProgram program(EXE_ELF_32_X86);
        program.Abs32LabelAt(0x10);
        program.NumberLabels();
        CapturedLog log;
        program.NumberLabels();
        ExpectOnlyLine(log, LogLevel_ERROR, "REACHED UNREACHABLE");
        EXPECT_EQ(0, program.abs32Labels().at(0x10)->index);
    }
    struct Case {
        const char* name;
        bool (*add)(DisassembledProgram&);
    };
    static const uint8_t branch[4] = {0, 0, 0, 0xEA};
    const std::vector<Case> cases = {
        {"rel32", [](DisassembledProgram& p) { return p.AddRel32(nullptr); }},
        {"abs32", [](DisassembledProgram& p) { return p.AddAbs32(nullptr); }},
        {"arm branch",
         [](DisassembledProgram& p) { return p.AddArmBranch(0x30EA, nullptr, branch, 4); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DisassembledProgram program(EXE_ELF_32_ARM);
        CapturedLog log;
        EXPECT_FALSE(c.add(program));
        EXPECT_EQ(0u, program.insnCount());
        ExpectOnlyLine(log, LogLevel_ERROR, "REACHED UNREACHABLE");
    }
}

TEST(DisassembledProgram, EncodesEveryInstructionKind)
{
    const uint8_t image[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    DisassembledProgram program(EXE_WIN_32_X86);
    program.setImageBase(0x400000);
    ASSERT_TRUE(program.AddOrigin(0x1000));
    ASSERT_TRUE(program.AddByte(0xFF));
    ASSERT_TRUE(program.AddBytes(image, 3));
    ASSERT_TRUE(program.AddRel32(program.Rel32LabelAt(0x2000)));
    ASSERT_TRUE(program.AddAbs32(program.Abs32LabelAt(0x3000)));
    ASSERT_TRUE(program.AddAbs32(program.Abs32LabelAt(0x1000)));
    ASSERT_TRUE(program.AddByte(0x01));
    ASSERT_TRUE(program.AddPeRelocTable());
    ASSERT_TRUE(program.AddElfRelocTable());
    ASSERT_TRUE(program.AddElfArmRelocTable());
    ASSERT_TRUE(program.AddArmBranch(0x201C, program.Rel32LabelAt(0x1800), image + 4, 2));
    program.NumberLabels();

    EncodedProgramPtr encoded(program.ToEncodedProgram());
    ASSERT_NE(nullptr, encoded);
    EXPECT_EQ(0x400000u, encoded->image_base);
    EXPECT_EQ(std::vector<uint32_t>({0x1000, 0x3000}), TableOf(encoded->abs32_rvas));
    EXPECT_EQ(std::vector<uint32_t>({0x1800, 0x2000}), TableOf(encoded->rel32_rvas));
    EXPECT_EQ(std::vector<uint32_t>(
                  {OP_SET_ORIGIN, OP_COPY_RUN, OP_REL32, OP_ABS32, OP_ABS32, OP_COPY_BYTE,
                   OP_PE_RELOCS32, OP_ELF_RELOCS_X86, OP_ELF_RELOCS_ARM, 0x201C}),
              TableOf(encoded->ops));
    EXPECT_EQ(std::vector<uint32_t>({0x1000}), TableOf(encoded->origins));
    EXPECT_EQ(std::vector<uint32_t>({4}), TableOf(encoded->copy_counts));
    EXPECT_EQ(Bytes({0xFF, 0x10, 0x20, 0x30, 0x01}),
              Bytes(encoded->copy_bytes.data(), encoded->copy_bytes.data() + 5));
    EXPECT_EQ(std::vector<uint32_t>({1, 0}), TableOf(encoded->abs32_ix));
    EXPECT_EQ(std::vector<uint32_t>({1, 0}), TableOf(encoded->rel32_ix));
}

TEST(DisassembledProgram, PeTableOpFollowsTheProgramKind)
{
    for (ExecutableType kind : {EXE_WIN_32_X86, EXE_WIN_32_X64}) {
        SCOPED_TRACE(kind);
        DisassembledProgram program(kind);
        ASSERT_TRUE(program.AddPeRelocTable());
        EncodedProgramPtr encoded(program.ToEncodedProgram());
        ASSERT_NE(nullptr, encoded);
        EXPECT_EQ(std::vector<uint32_t>({kind == EXE_WIN_32_X86 ? 5u : 8u}), TableOf(encoded->ops));
    }
}

TEST(DisassembledProgram, EmptyProgramEncodesToEmptyTables)
{
    DisassembledProgram program(EXE_MACHO_X64);
    program.NumberLabels();
    EncodedProgram* encoded = nullptr;
    ASSERT_EQ(1u, program.EncodeStatus(&encoded));
    EncodedProgramPtr owned(encoded);
    EXPECT_EQ(0u, encoded->abs32_rvas.size());
    EXPECT_EQ(0u, encoded->rel32_rvas.size());
    EXPECT_EQ(0u, encoded->ops.size());
}

TEST(DisassembledProgram, EncodeStatusFailsWithUnnumberedLabels)
{
    DisassembledProgram program(EXE_ELF_32_X86);
    ASSERT_TRUE(program.AddRel32(program.Rel32LabelAt(0x10)));
    EncodedProgram placeholder;
    EncodedProgram* encoded = &placeholder;
    EXPECT_EQ(2u, program.EncodeStatus(&encoded));
    EXPECT_EQ(nullptr, encoded);
}

TEST(DisassembledProgram, ReproducesImageThroughEncodeAndAssembly)
{
    // An x86 image at base 0x8048000: call rel32 to 0x1010, mov eax,[abs 0x2000].
    const Bytes image = vxtest::Cat(
        {{0xE8}, Le32(0x1010 - 0x1005), {0xA1}, Le32(0x8048000 + 0x2000), {0xC3}});
    DisassembledProgram program(EXE_ELF_32_X86);
    program.setImageBase(0x8048000);
    ASSERT_TRUE(program.AddOrigin(0x1000));
    ASSERT_TRUE(program.AddByte(image[0]));
    ASSERT_TRUE(program.AddRel32(program.Rel32LabelAt(0x1010)));
    ASSERT_TRUE(program.AddByte(image[5]));
    ASSERT_TRUE(program.AddAbs32(program.Abs32LabelAt(0x2000)));
    ASSERT_TRUE(program.AddBytes(image.data() + 10, 1));
    program.NumberLabels();
    EncodedProgramPtr encoded(program.ToEncodedProgram());
    ASSERT_NE(nullptr, encoded);
    EXPECT_EQ(image, AssembleAll(*encoded));
}

TEST(DisassembledProgramTrimLabels, ArmBranchesToRareTargetsBecomeRawBytes)
{
    const uint8_t code[4] = {0x0E, 0xD0, 0x00, 0xEA};
    DisassembledProgram program(EXE_ELF_32_ARM);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(program.AddArmBranch(0x10D0, program.Rel32LabelAt(0x100), code, 2));
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(program.AddArmBranch(0x30EA, program.Rel32LabelAt(0x900), code, 4));
    ASSERT_TRUE(program.AddAbs32(program.Abs32LabelAt(0x50))); // one use, never trimmed
    program.NumberLabels();
    ASSERT_EQ(1, program.rel32Labels().at(0x900)->index);

    CapturedLog log;
    EXPECT_EQ(1u, program.TrimLabelsStatus());
    ExpectOnlyLine(log, LogLevel_DEBUG, "TrimLabels: threshold 5");
    EXPECT_EQ(1u, program.rel32Labels().size());
    EXPECT_EQ(1u, program.abs32Labels().size());
    EXPECT_EQ(5u, CountKind(program, INSN_BYTES));
    EXPECT_EQ(6u, CountKind(program, INSN_ARM_BRANCH));
    const auto* bytes = static_cast<const BytesInsn*>(program.insnAt(4));
    EXPECT_EQ(code, bytes->bytes);
    EXPECT_EQ(2u, bytes->length);

    // The kept label keeps its index, so the encoded table starts with a gap.
    EncodedProgramPtr encoded(program.ToEncodedProgram());
    ASSERT_NE(nullptr, encoded);
    EXPECT_EQ(std::vector<uint32_t>({0, 0x900}), TableOf(encoded->rel32_rvas));
    EXPECT_EQ(std::vector<uint32_t>(6, 1), TableOf(encoded->rel32_ix));
    EXPECT_EQ(std::vector<uint32_t>({10}), TableOf(encoded->copy_counts));
}

TEST(DisassembledProgramTrimLabels, TrimmedArmProgramStillReproducesTheImage)
{
    // Six 16-bit branches to 0x40 and one ARM BL to 0x1000, code at 0.
    Bytes image;
    for (uint32_t i = 0; i < 6; ++i) {
        const uint32_t rva = 2 * i;
        image.push_back(uint8_t(((0x40 - rva - 4) >> 1) & 0xFF));
        image.push_back(0xD0);
    }
    const Bytes bl = Le32(0xEB000000 | ((0x1000 - 12 - 8) >> 2));
    image.insert(image.end(), bl.begin(), bl.end());

    DisassembledProgram program(EXE_ELF_32_ARM);
    ASSERT_TRUE(program.AddOrigin(0));
    for (uint32_t i = 0; i < 6; ++i)
        ASSERT_TRUE(program.AddArmBranch(0x10D0, program.Rel32LabelAt(0x40), &image[2 * i], 2));
    ASSERT_TRUE(program.AddArmBranch(0x30EB, program.Rel32LabelAt(0x1000), &image[12], 4));
    program.NumberLabels();
    ASSERT_TRUE(program.TrimLabels());
    EXPECT_EQ(1u, CountKind(program, INSN_BYTES));

    EncodedProgramPtr encoded(program.ToEncodedProgram());
    ASSERT_NE(nullptr, encoded);
    EXPECT_EQ(image, AssembleAll(*encoded));
}

TEST(DisassembledProgramTrimLabels, LeavesOtherKindsUntouched)
{
    const uint8_t code[2] = {0x0E, 0xD0};
    for (ExecutableType kind : {EXE_UNKNOWN, EXE_WIN_32_X86, EXE_ELF_32_X86, EXE_WIN_32_X64,
                                EXE_ELF_64_X64, EXE_MACHO_X86, EXE_MACHO_X64}) {
        SCOPED_TRACE(kind);
        DisassembledProgram program(kind);
        ASSERT_TRUE(program.AddArmBranch(0x10D0, program.Rel32LabelAt(0x100), code, 2));
        CapturedLog log;
        EXPECT_TRUE(program.TrimLabels());
        EXPECT_TRUE(log.lines.empty());
        EXPECT_EQ(1u, program.rel32Labels().size());
        EXPECT_EQ(INSN_ARM_BRANCH, program.insnAt(0)->kind());
    }
}

TEST(DisassembledProgramTrimLabels, FailsOnBranchWithoutSize)
{
    const uint8_t code[4] = {0x0E, 0xD0, 0x1E, 0xE0};
    DisassembledProgram program(EXE_ELF_32_ARM);
    ASSERT_TRUE(program.AddArmBranch(0x10D0, program.Rel32LabelAt(0x100), code, 2));
    ASSERT_TRUE(program.AddArmBranch(0x201C, program.Rel32LabelAt(0x200), code + 2, 0));
    ASSERT_TRUE(program.AddArmBranch(0x10D0, program.Rel32LabelAt(0x300), code, 2));
    EXPECT_EQ(28u, program.TrimLabelsStatus());
    // The replacement made before the faulty branch stays.
    EXPECT_EQ(INSN_BYTES, program.insnAt(0)->kind());
    EXPECT_EQ(INSN_ARM_BRANCH, program.insnAt(1)->kind());
    EXPECT_EQ(INSN_ARM_BRANCH, program.insnAt(2)->kind());
}
