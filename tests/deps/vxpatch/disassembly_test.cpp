#include "assembleimage.h"
#include "disassembledprogram.h"
#include "disassemblerwin32x64.h"
#include "disassemblerwin32x86.h"
#include "executabledetection.h"
#include "imagebuilders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <vector>

namespace vxpatch {
namespace {

using vxtest::Image;
using vxtest::Put32;

struct Disassembly {
    DisassembledProgram* program = nullptr;
    std::map<int, int> kinds;
    std::vector<uint32_t> abs32;
    std::vector<uint32_t> rel32;
};

std::vector<uint32_t> Rvas(const DisassembledProgram::LabelMap& labels)
{
    std::vector<uint32_t> rvas;
    for (const auto& entry : labels)
        rvas.push_back(entry.first);
    return rvas;
}

Disassembly Disassemble(const Image& image)
{
    Disassembly d;
    EXPECT_EQ(DisassembleExecutable(image.data(), uint32_t(image.size()), &d.program), 1);
    if (!d.program)
        return d;
    for (uint32_t i = 0; i < d.program->insnCount(); ++i)
        ++d.kinds[d.program->insnAt(i)->kind()];
    d.abs32 = Rvas(d.program->abs32Labels());
    d.rel32 = Rvas(d.program->rel32Labels());
    return d;
}

void PutBytes(Image& image, size_t at, std::initializer_list<uint8_t> bytes)
{
    std::copy(bytes.begin(), bytes.end(), image.begin() + at);
}

TEST(DisassemblerElf32X86, TakesCallsAndJumpsIntoLoadedSegments)
{
    Image image = vxtest::MakeElf(false, 3);
    // .text at file 0x80 is rva 0x1080; the PT_LOAD segment covers rvas 0x1000 to 0x1178.
    PutBytes(image, 0x80, {0xE8});
    Put32(image, 0x81, 0x1000 - 0x1085);  // call 0x1000
    PutBytes(image, 0x85, {0x0F, 0x8A, 0, 0, 0, 0});  // jp: never a site
    PutBytes(image, 0x8B, {0x0F, 0x84, 0xFF, 0xFF, 0xFF, 0xFF});  // je 0x1090
    PutBytes(image, 0x91, {0xE9, 0, 0, 0x10, 0});  // jmp outside every segment
    Disassembly d = Disassemble(image);
    ASSERT_TRUE(d.program);
    EXPECT_EQ(d.rel32, (std::vector<uint32_t>{0x1000, 0x1090}));
    EXPECT_EQ(d.kinds[INSN_REL32], 2);
    EXPECT_EQ(vxtest::AssembleProgram(d.program), image);
}

// ELF image with a data section of absolute addresses at rvas 0x10C0 to 0x10CC
// and a REL section of three entries, by default two R_386_RELATIVE entries,
// then one of type 8 with a symbol.
Image MakeElfWithRelocations(uint16_t machine = 3,
                             std::vector<uint32_t> entries = {0x10C0, 8, 0x10C4, 8, 0x10C8, 0x108})
{
    Image image(0x100 + 4 * 40, 0);
    const Image base = vxtest::MakeElf(false, machine);
    std::copy(base.begin(), base.begin() + 0x100, image.begin());
    Put32(image, 52 + 16, uint32_t(image.size()));
    Put32(image, 52 + 20, uint32_t(image.size()));
    vxtest::Put16(image, 48, 4);
    vxtest::Put16(image, 50, 0);
    auto section = [&](int i, uint32_t type, uint32_t addr, uint32_t offset, uint32_t size, uint32_t entsize) {
        const size_t sh = 0x100 + 40 * i;
        Put32(image, sh + 4, type);
        Put32(image, sh + 12, addr);
        Put32(image, sh + 16, offset);
        Put32(image, sh + 20, size);
        Put32(image, sh + 36, entsize);
    };
    section(1, 1, 0x1080, 0x80, 0x40, 0);
    section(2, 1, 0x10C0, 0xC0, 0x10, 0);
    section(3, 9, 0x10D0, 0xD0, 0x18, 8);
    Put32(image, 0xC0, 0x1080);
    Put32(image, 0xC4, 0x1090);
    Put32(image, 0xC8, 0x10A0);
    for (size_t i = 0; i < 6; ++i)
        Put32(image, 0xD0 + 4 * i, entries[i]);
    return image;
}

TEST(DisassemblerElf32X86, TurnsMatchingRelocationsIntoATable)
{
    const Image image = MakeElfWithRelocations();
    Disassembly d = Disassemble(image);
    ASSERT_TRUE(d.program);
    // The entry with r_info 0x108 is not an absolute location: the whole word must be 8.
    EXPECT_EQ(d.abs32, (std::vector<uint32_t>{0x1080, 0x1090}));
    EXPECT_EQ(d.kinds[INSN_ABS32], 2);
    EXPECT_EQ(d.kinds[INSN_ELF_RELOCS], 1);
    EXPECT_EQ(vxtest::AssembleProgram(d.program), image);
}

TEST(DisassemblerElf32X86, FailsWhenSectionsLeaveTheBuffer)
{
    Image image = MakeElfWithRelocations();
    Put32(image, 0x100 + 40 * 2 + 20, 0x1000);  // .data now reaches past the end
    DisassembledProgram* program = nullptr;
    EXPECT_EQ(DisassembleExecutable(image.data(), uint32_t(image.size()), &program), 25);
    EXPECT_EQ(program, nullptr);
}

TEST(DisassemblerElf32X86, FailsOnSectionsOverlappingManyTimesOver)
{
    // 3 sections that each cover the whole file sum to more than twice its size.
    Image image = vxtest::MakeElf(false, 3);
    for (int i = 0; i < 3; ++i) {
        const size_t sh = vxtest::ElfLayout::kSectionTable + 40 * i;
        Put32(image, sh + 4, 1);
        Put32(image, sh + 16, 0);
        Put32(image, sh + 20, uint32_t(image.size()));
    }
    DisassembledProgram* program = nullptr;
    EXPECT_EQ(DisassembleExecutable(image.data(), uint32_t(image.size()), &program), 25);
    // Two such sections are still within bounds: the bytes are walked twice over.
    Put32(image, vxtest::ElfLayout::kSectionTable + 4, 0);
    ASSERT_EQ(DisassembleExecutable(image.data(), uint32_t(image.size()), &program), 1);
    EXPECT_EQ(vxtest::AssembleProgram(program).size(), 2 * image.size());
}

TEST(DisassemblerElf32ARM, WalksRelocationEntriesAgainstTheAbsoluteLocations)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> entries;
        int tables;
        size_t lostBytes;
    };
    const Case cases[] = {
        {"all match, then another type", {0x10C0, 23, 0x10C4, 23, 0x10CC, 21}, 1, 0},
        {"another type first", {0x10CC, 21, 0x10C0, 23, 0x10C4, 23}, 1, 0},
        // A walk that stops short drops the entries it passed over: the
        // serialised form that stored patches were made from has them dropped too.
        {"interrupted", {0x10C0, 23, 0x10CC, 21, 0x10C4, 23}, 0, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Image image = MakeElfWithRelocations(40, c.entries);
        Disassembly d = Disassemble(image);
        ASSERT_TRUE(d.program);
        EXPECT_EQ(d.abs32, (std::vector<uint32_t>{0x1080, 0x1090}));
        EXPECT_EQ(d.kinds[INSN_ELF_ARM_RELOCS], c.tables);
        const std::vector<uint8_t> assembled = vxtest::AssembleProgram(d.program);
        ASSERT_EQ(assembled.size(), image.size() - c.lostBytes);
        if (c.lostBytes == 0) {
            EXPECT_EQ(assembled, image);
        }
    }
}

TEST(DisassemblerElf32ARM, TakesAThumbCallAndAssemblesItBack)
{
    Image image = vxtest::MakeElf(false, 40);
    PutBytes(image, 0x80, {0x00, 0xF0, 0x08, 0xF8});  // bl +0x10, from rva 0x1080
    Disassembly d = Disassemble(image);
    ASSERT_TRUE(d.program);
    EXPECT_EQ(d.kinds[INSN_ARM_BRANCH], 1);
    EXPECT_EQ(d.rel32, (std::vector<uint32_t>{0x1094}));
    EXPECT_EQ(vxtest::AssembleProgram(d.program), image);
}

TEST(DisassemblerMacho, TakesRipRelativeFieldsOnlyIn64BitImages)
{
    for (bool is64 : {false, true}) {
        SCOPED_TRACE(is64);
        Image image = vxtest::MakeMacho(is64);
        // The section at file 0x100 is rva 0x100 after rebasing.
        PutBytes(image, 0x100, {0xFF, 0x15, 0x10, 0, 0, 0});  // call [rip + 0x10]: target 0x116
        PutBytes(image, 0x110, {0xE8, 0, 0, 0, 0});  // call 0x115
        Disassembly d = Disassemble(image);
        ASSERT_TRUE(d.program);
        const std::vector<uint32_t> expected = is64 ? std::vector<uint32_t>{0x115, 0x116} : std::vector<uint32_t>{0x115};
        EXPECT_EQ(d.rel32, expected);
        EXPECT_EQ(vxtest::AssembleProgram(d.program), image);
    }
}

// x86-64 loads and address computations relative to the next instruction: `mov` and `lea`
// (8B, 8D) with the prefix 48 or 49 and a ModRM byte of mod 00, r/m 101. Each instruction
// points at a target of its own, so the labels tell which were taken. Other prefixes, other
// ModRM forms, the store (89) and the bare opcode are no sites, and 32-bit images take none.
struct RipCase {
    const char* name;
    Image image;
    size_t text;
    uint32_t textRva;
    bool is64;
};

Image WithRipForms(Image image, size_t text, uint32_t textRva)
{
    const std::vector<std::vector<uint8_t>> forms = {
        {0x48, 0x8B, 0x05}, // mov rax, [rip + d]
        {0x49, 0x8D, 0x0D}, // lea rcx, [rip + d] (REX.W and REX.B)
        {0x48, 0x8D, 0x3D}, // lea rdi, [rip + d]
        {0x49, 0x8B, 0x35}, // mov rsi, [rip + d]
        {0x4C, 0x8B, 0x05}, // mov r8, [rip + d]: REX.R is not taken
        {0x48, 0x8B, 0x85}, // mov rax, [rbp + d]
        {0x48, 0x89, 0x05}, // mov [rip + d], rax
        {0x8B, 0x05},       // mov eax, [rip + d]
    };
    size_t at = text;
    for (size_t i = 0; i < forms.size(); ++i) {
        std::copy(forms[i].begin(), forms[i].end(), image.begin() + at);
        at += forms[i].size();
        const uint32_t fieldRva = textRva + uint32_t(at - text);
        Put32(image, at, textRva + uint32_t(i) - (fieldRva + 4));
        at += 4;
    }
    return image;
}

TEST(DisassemblerX64, TakesRipRelativeMovAndLeaWithTheirPrefixesOnly)
{
    using vxtest::ElfLayout;
    using vxtest::MachoLayout;
    const RipCase cases[] = {
        {"ELF x86-64", vxtest::MakeElf(true, 62), ElfLayout::kText, 0x1000 + ElfLayout::kText, true},
        {"ELF x86", vxtest::MakeElf(false, 3), ElfLayout::kText, 0x1000 + ElfLayout::kText, false},
        {"PE32+", vxtest::MakePe(true), 0x200, 0x1000, true},
        {"PE32", vxtest::MakePe(false), 0x200, 0x1000, false},
        {"Mach-O x86-64", vxtest::MakeMacho(true), MachoLayout::kText, MachoLayout::kText, true},
        {"Mach-O x86", vxtest::MakeMacho(false), MachoLayout::kText, MachoLayout::kText, false},
    };
    for (const RipCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Image image = WithRipForms(c.image, c.text, c.textRva);
        Disassembly d = Disassemble(image);
        ASSERT_TRUE(d.program);
        const uint32_t t = c.textRva;
        const std::vector<uint32_t> expected =
            c.is64 ? std::vector<uint32_t>{t, t + 1, t + 2, t + 3} : std::vector<uint32_t>{};
        EXPECT_EQ(d.rel32, expected);
        EXPECT_EQ(d.kinds[INSN_REL32], int(expected.size()));
        EXPECT_EQ(vxtest::AssembleProgram(d.program), image);
    }
}

// Targets of the sites that one scan from the front of [offset, end) takes, where every target
// in [loadBegin, loadEnd) counts.
std::vector<uint32_t> SiteTargetsFromTheFront(const Image& image, size_t offset, size_t end, uint32_t rvaDelta,
                                              uint32_t loadBegin, uint32_t loadEnd)
{
    std::vector<uint32_t> targets;
    size_t p = offset;
    while (end - p >= 5) {
        const uint8_t* b = &image[p];
        const size_t remaining = end - p;
        size_t field = 0;
        if (b[0] == 0xE8 || b[0] == 0xE9)
            field = p + 1;
        else if (remaining >= 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B)
            field = p + 2;
        else if (remaining >= 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25))
            field = p + 2;
        else if (remaining >= 7 && (b[0] == 0x48 || b[0] == 0x49) && (b[1] == 0x8B || b[1] == 0x8D)
                 && (b[2] & 0xC7) == 0x05)
            field = p + 3;
        uint32_t displacement = 0;
        std::memcpy(&displacement, &image[field], 4);
        const uint32_t target = uint32_t(field + rvaDelta) + displacement + 4;
        if (field != 0 && target >= loadBegin && target < loadEnd) {
            targets.push_back(target);
            p = field + 4;
        } else {
            ++p;
        }
    }
    return targets;
}

TEST(DisassemblerElf64X64, FindsInALargeSectionTheSitesOfOneScanFromTheFront)
{
    // Nearly every 32-bit target is loaded, and runs of E8 bytes over every place a large section
    // may be cut for scanning make the walk's phase there depend on what came before.
    Image image = vxtest::MakeElf(true, 62);
    const size_t text = image.size();
    const size_t textSize = (size_t(17) << 20) + 123;
    const uint32_t loadBegin = 0x1000;
    const uint32_t loadEnd = 0xFFFF0000u;
    image.resize(text + textSize);
    std::mt19937 random(14);
    const uint8_t alphabet[] = {0xE8, 0xE9, 0x0F, 0x84, 0x48, 0x8B, 0x05, 0xFF, 0x15, 0x00, 0x01, 0x90};
    for (size_t i = text; i < image.size(); ++i)
        image[i] = random() % 4 == 0 ? alphabet[random() % sizeof(alphabet)] : 0x90;
    for (size_t pieces = 2; pieces <= 16; ++pieces) {
        for (size_t k = 1; k < pieces; ++k)
            std::fill_n(image.begin() + text + k * (textSize / pieces) - 32, 64, 0xE8);
    }
    const size_t sectionHeader = vxtest::ElfLayout::kSectionTable + 64;
    vxtest::Put64(image, sectionHeader + 16, loadBegin + text);
    vxtest::Put64(image, sectionHeader + 24, text);
    vxtest::Put64(image, sectionHeader + 32, textSize);
    vxtest::Put64(image, 64 + 32, image.size());
    vxtest::Put64(image, 64 + 40, loadEnd - loadBegin);
    // The string section follows the text, so that the walk takes the file in order.
    vxtest::Put64(image, sectionHeader + 64 + 24, image.size());
    vxtest::Put64(image, sectionHeader + 64 + 32, 0);

    std::vector<uint32_t> expected = SiteTargetsFromTheFront(image, text, image.size(), loadBegin, loadBegin, loadEnd);
    const size_t sites = expected.size();
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    Disassembly d = Disassemble(image);
    ASSERT_TRUE(d.program);
    EXPECT_EQ(d.kinds[INSN_REL32], int(sites));
    EXPECT_TRUE(d.rel32 == expected) << d.rel32.size() << " labels, " << expected.size() << " expected";
    EXPECT_TRUE(vxtest::AssembleProgram(d.program) == image);

    // Encoded as it is disassembled, the sites taken in runs on several threads and their
    // targets numbered by sorting, the program is the one the instruction list gives.
    DisassembledProgram* listed = nullptr;
    DisassembledProgram* direct = nullptr;
    ASSERT_EQ(DisassembleExecutable(image.data(), uint32_t(image.size()), &listed), 1);
    ASSERT_EQ(DisassembleExecutable(image.data(), uint32_t(image.size()), &direct, true), 1);
    const std::vector<uint8_t> fromList = vxtest::SerialiseProgram(listed);
    ASSERT_FALSE(fromList.empty());
    EXPECT_TRUE(vxtest::SerialiseProgram(direct) == fromList);
}

// PE image with a base relocation table inside .text: one block for page
// 0x1000 with an absolute location at rva 0x1010 and a padding entry.
Image MakePeWithRelocations(bool is64, uint16_t relocType)
{
    Image image = vxtest::MakePe(is64);
    const size_t directory = vxtest::PeLayout::kOptional + (is64 ? 112 : 96) + 5 * 8;
    Put32(image, directory, 0x1100);
    Put32(image, directory + 4, 12);
    Put32(image, 0x300, 0x1000);
    Put32(image, 0x304, 12);
    vxtest::Put16(image, 0x308, uint16_t((relocType << 12) | 0x010));
    Put32(image, 0x210, 0x401000);  // absolute address of rva 0x1000
    PutBytes(image, 0x20E, {0xE8});  // its field would overlap the absolute location
    PutBytes(image, 0x220, {0xE8});
    Put32(image, 0x221, 0x1000 - 0x1025);  // call 0x1000
    PutBytes(image, 0x230, {0xE9});
    Put32(image, 0x231, 0x1300 - 0x1035);  // jmp into another section
    return image;
}

TEST(DisassemblerWin32X86, TakesAbsoluteLocationsBeforeOverlappingCalls)
{
    const Image image = MakePeWithRelocations(false, 3);
    Disassembly d = Disassemble(image);
    ASSERT_TRUE(d.program);
    EXPECT_EQ(d.program->imageBase(), 0x400000u);
    EXPECT_EQ(d.abs32, (std::vector<uint32_t>{0x1000}));
    EXPECT_EQ(d.rel32, (std::vector<uint32_t>{0x1000}));
    EXPECT_EQ(d.kinds[INSN_PE_RELOCS], 1);
    EXPECT_EQ(d.kinds[INSN_ABS32], 1);
    EXPECT_EQ(d.kinds[INSN_REL32], 1);
    EXPECT_EQ(vxtest::AssembleProgram(d.program), image);
}

TEST(DisassemblerWin32X86, FailsOnBrokenBaseRelocationsWithTheirReason)
{
    const size_t directory = vxtest::PeLayout::kOptional + 96 + 5 * 8;
    struct Case {
        const char* name;
        std::function<void(Image&)> breakImage;
        const char* reason;
    };
    const Case cases[] = {
        {"table outside every section", [&](Image& i) { Put32(i, directory, 0x5000); }, ".relocs outside image"},
        {"table past the end", [&](Image& i) { Put32(i, directory + 4, 0x1FF0); }, ".relocs outside image"},
        {"block of 6 bytes", [](Image& i) { Put32(i, 0x304, 6); }, "unreasonable relocs block"},
        {"block of 14 bytes", [](Image& i) { Put32(i, 0x304, 14); }, "unreasonable relocs block"},
        {"block past the end", [](Image& i) { Put32(i, 0x304, 0x1000); }, ".relocs block outside image"},
        {"entry of type 10", [](Image& i) { vxtest::Put16(i, 0x308, 0xA010); }, "unknown type of reloc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Image image = MakePeWithRelocations(false, 3);
        c.breakImage(image);
        DisassemblerWin32X86 disassembler(image.data(), uint32_t(image.size()));
        ASSERT_TRUE(disassembler.ParseHeader());
        DisassembledProgram program(EXE_WIN_32_X86);
        EXPECT_FALSE(disassembler.Disassemble(&program));
        EXPECT_STREQ(disassembler.reason(), c.reason);
    }
}

TEST(DisassemblerWin32X64, RejectsX86RelocationsAndTakesRipFieldsIntoOtherSections)
{
    const Image wrongType = MakePeWithRelocations(true, 3);
    DisassemblerWin32X64 disassembler(wrongType.data(), uint32_t(wrongType.size()));
    ASSERT_TRUE(disassembler.ParseHeader());
    DisassembledProgram program(EXE_WIN_32_X64);
    EXPECT_FALSE(disassembler.Disassemble(&program));
    EXPECT_STREQ(disassembler.reason(), "unknown type of reloc");
    DisassembledProgram* none = nullptr;
    EXPECT_EQ(DisassembleExecutable(wrongType.data(), uint32_t(wrongType.size()), &none), 25);

    Image image = MakePeWithRelocations(true, 10);
    PutBytes(image, 0x240, {0xFF, 0x15});
    Put32(image, 0x242, 0x1300 - 0x1046);  // call [rip + x] into another section
    Disassembly d = Disassemble(image);
    ASSERT_TRUE(d.program);
    EXPECT_EQ(d.program->imageBase(), 0x140000000ull);
    EXPECT_EQ(d.rel32, (std::vector<uint32_t>{0x1000, 0x1300}));
    delete d.program;
}

} // namespace
} // namespace vxpatch
