#include "disassembledprogram.h"
#include "disassemblerelf32arm.h"
#include "disassemblerelf32x86.h"
#include "disassemblerelf64x64.h"
#include "disassemblermacho.h"
#include "disassemblerwin32x64.h"
#include "disassemblerwin32x86.h"
#include "executabledetection.h"
#include "imagebuilders.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace vxpatch {
namespace {

using vxtest::Image;
using vxtest::Put16;
using vxtest::Put32;
using vxtest::Put64;

struct RejectCase {
    const char* name;
    std::function<void(Image&)> breakImage;
    const char* reason;
};

// Runs the header check of T over each broken image and expects its reason;
// an empty reason means the image must be accepted.
template <class T>
void ExpectReasons(const Image& valid, const std::vector<RejectCase>& cases)
{
    for (const RejectCase& c : cases) {
        SCOPED_TRACE(c.name);
        Image image = valid;
        c.breakImage(image);
        T disassembler(image.data(), uint32_t(image.size()));
        const bool accepted = disassembler.ParseHeader();
        if (std::string(c.reason).empty()) {
            EXPECT_TRUE(accepted) << disassembler.reason();
            EXPECT_EQ(disassembler.reason(), nullptr);
        } else {
            EXPECT_FALSE(accepted);
            ASSERT_NE(disassembler.reason(), nullptr);
            EXPECT_STREQ(disassembler.reason(), c.reason);
        }
    }
}

void Shrink(Image& image, size_t n)
{
    image.resize(n);
}

TEST(DisassemblerWin32, RejectsEachBrokenHeaderWithItsReason)
{
    using L = vxtest::PeLayout;
    const size_t opt = L::kOptional;
    ExpectReasons<DisassemblerWin32X86>(vxtest::MakePe(false), {
        {"valid", [](Image&) {}, ""},
        {"63 bytes", [](Image& i) { Shrink(i, 63); }, "Too small"},
        {"no MZ", [](Image& i) { i[1] = 'X'; }, "Not MZ"},
        {"e_lfanew 0", [](Image& i) { Put32(i, 60, 0); }, "Bad offset to PE header"},
        {"e_lfanew near end", [](Image& i) { Put32(i, 60, uint32_t(i.size() - 24)); }, "Bad offset to PE header"},
        {"e_lfanew 0x84", [](Image& i) { Put32(i, 60, 0x84); }, "Misaligned PE header"},
        {"no signature", [](Image& i) { i[L::kPe + 1] = 'X'; }, "no PE signature"},
        {"optional header past end", [](Image& i) { Put16(i, L::kPe + 20, 0x3E8); }, "optional header past end of file"},
        {"optional header of 1 byte", [](Image& i) { Put16(i, L::kPe + 20, 1); }, "optional header no magic"},
        {"ROM magic", [opt](Image& i) { Put16(i, opt, 0x107); }, "unrecognized magic"},
        {"optional header of 95 bytes", [](Image& i) { Put16(i, L::kPe + 20, 95); }, "optional header too short"},
        {"16 directories in 96 bytes", [](Image& i) { Put16(i, L::kPe + 20, 96); }, "malformed data directory"},
        {"directory bigger than image", [opt](Image& i) { Put32(i, opt + 96 + 5 * 8 + 4, 0x2001); },
         "malformed data directory"},
        {"negative directory count", [opt](Image& i) { Put32(i, opt + 92, 0x80000000u); }, ""},
        {"section table past end", [](Image& i) { Put16(i, L::kPe + 6, 100); }, "section table outside image"},
        {"PE32+", [opt](Image& i) { Put16(i, opt, 0x20B); }, "64 bit executables are not supported by this disassembler"},
        {"no .text", [](Image& i) { i[L::SectionTable(false) + 1] = 'd'; },
         "Resource-only executables are not yet supported"},
        {".text6", [](Image& i) { i[L::SectionTable(false) + 5] = '6'; },
         "Resource-only executables are not yet supported"},
    });
    ExpectReasons<DisassemblerWin32X64>(vxtest::MakePe(true), {
        {"valid", [](Image&) {}, ""},
        {"PE32", [opt](Image& i) { Put16(i, opt, 0x10B); }, "32 bit executables are not supported by this disassembler"},
        {"optional header of 111 bytes", [](Image& i) { Put16(i, L::kPe + 20, 111); }, "optional header too short"},
    });
}

TEST(DisassemblerWin32, ClipsTrailingDataToTheLastRawData)
{
    Image image = vxtest::MakePe(false);
    image.resize(image.size() + 100, 0xCC);
    DisassemblerWin32X86 disassembler(image.data(), uint32_t(image.size()));
    ASSERT_TRUE(disassembler.ParseHeader());
    EXPECT_EQ(disassembler.length(), 0x400u);
}

TEST(DisassemblerElf, RejectsEachBrokenHeaderWithItsReason)
{
    using L = vxtest::ElfLayout;
    ExpectReasons<DisassemblerElf32X86>(vxtest::MakeElf(false, 3), {
        {"valid", [](Image&) {}, ""},
        {"51 bytes", [](Image& i) { Shrink(i, 51); }, "Too small"},
        {"no magic", [](Image& i) { i[1] = 'e'; }, "No Magic Number"},
        {"64-bit class byte is not looked at", [](Image& i) { i[4] = 2; }, ""},
        {"relocatable", [](Image& i) { Put16(i, 16, 1); }, "Not an executable file or shared library"},
        {"executable", [](Image& i) { Put16(i, 16, 2); }, ""},
        {"core", [](Image& i) { Put16(i, 16, 4); }, "Not an executable file or shared library"},
        {"ARM", [](Image& i) { Put16(i, 18, 40); }, "Not a supported architecture"},
        {"version 2", [](Image& i) { Put32(i, 20, 2); }, "Unknown file version"},
        {"section header size 64", [](Image& i) { Put16(i, 46, 64); }, "Unexpected section header size"},
        {"section table at the end", [](Image& i) { Put32(i, 32, uint32_t(i.size())); },
         "Out of bounds section header table offset"},
        {"section count past the end", [](Image& i) { Put16(i, 48, 4); }, "Out of bounds section header table"},
        {"program table at the end", [](Image& i) { Put32(i, 28, uint32_t(i.size())); },
         "Out of bounds program header table offset"},
        {"program count past the end", [](Image& i) { Put16(i, 44, 0xFFFF); }, "Out of bounds program header table"},
        {"string index out of range", [](Image& i) { Put16(i, 50, 0x7777); }, ""},
    });
    ExpectReasons<DisassemblerElf32ARM>(vxtest::MakeElf(false, 40), {
        {"valid", [](Image&) {}, ""},
        {"x86", [](Image& i) { Put16(i, 18, 3); }, "Not a supported architecture"},
    });
    ExpectReasons<DisassemblerElf64X64>(vxtest::MakeElf(true, 62), {
        {"valid", [](Image&) {}, ""},
        {"63 bytes", [](Image& i) { Shrink(i, 63); }, "Too small"},
        {"section header size 40", [](Image& i) { Put16(i, 58, 40); }, "Unexpected section header size"},
        {"section offset with a high word", [](Image& i) { Put64(i, 40, 0x100000000ull + L::kSectionTable); },
         "Out of bounds section header table offset"},
        {"program offset with a high word", [](Image& i) { Put64(i, 32, 0x100000040ull); },
         "Out of bounds program header table offset"},
    });
}

TEST(DisassemblerElf, ClipsToTheLargestExtent)
{
    Image image = vxtest::MakeElf(false, 3);
    const size_t size = image.size();
    image.resize(size + 77, 0x90);
    DisassemblerElf32X86 disassembler(image.data(), uint32_t(image.size()));
    ASSERT_TRUE(disassembler.ParseHeader());
    EXPECT_EQ(disassembler.length(), size);
}

TEST(DisassemblerMacho, RejectsEachBrokenHeaderWithItsReason)
{
    const size_t cmd = 32;
    const size_t section = cmd + 72;
    ExpectReasons<DisassemblerMacho>(vxtest::MakeMacho(true), {
        {"valid", [](Image&) {}, ""},
        {"31 bytes", [](Image& i) { Shrink(i, 31); }, "Too small"},
        {"x86 cpu in a 64-bit header", [](Image& i) { Put32(i, 4, 7); }, "unsupported cpu type"},
        {"byte-swapped magic", [](Image& i) { Put32(i, 0, 0xCFFAEDFE); }, "Unknown magic type"},
        {"fat magic", [](Image& i) { Put32(i, 0, 0xBEBAFECA); }, "Unknown magic type"},
        {"object file", [](Image& i) { Put32(i, 12, 1); }, "Unsupported filetype in header"},
        {"dynamic library", [](Image& i) { Put32(i, 12, 6); }, ""},
        {"command past the end", [](Image& i) { Put32(i, cmd + 4, 0x1000); }, "file to small in load commands"},
        {"command header past the end", [](Image& i) {
             Put32(i, 16, 2);
             Put32(i, cmd + 4, uint32_t(i.size() - cmd - 4));
             Put32(i, cmd, 0x2);
         }, "file to small in load commands"},
        {"LC_SEGMENT", [](Image& i) { Put32(i, cmd, 0x1); }, "LC_SEGMENT not supported"},
        {"short LC_SEGMENT_64", [](Image& i) { Put32(i, cmd + 4, 71); }, "bad LC_SEGMENT_64"},
        {"vmsize past 32 bits", [](Image& i) { Put64(i, cmd + 32, 0x100000000ull); }, "overflow"},
        {"fileoff past 32 bits", [](Image& i) { Put64(i, cmd + 40, 0x100000000ull); }, "overflow"},
        {"segment past the end", [](Image& i) { Put64(i, cmd + 48, 0x201); }, "segment too large"},
        {"two sections announced", [](Image& i) { Put32(i, cmd + 64, 2); }, "sections too small"},
        {"section size past 32 bits", [](Image& i) { Put64(i, section + 40, 0x100000000ull); }, "overflow"},
        {"section beyond its segment", [](Image& i) { Put64(i, section + 40, 0x1000); }, "section larger than segment"},
        {"section below its segment", [](Image& i) { Put64(i, section + 32, 0xFFFFFFFFull); },
         "section larger than segment"},
        {"not pure instructions", [](Image& i) { Put32(i, section + 64, 0x400); },
         "Resource-only executables are not yet supported"},
        {"sectionless segment is passed over", [](Image& i) { Put32(i, cmd + 64, 0); },
         "Resource-only executables are not yet supported"},
    });
    ExpectReasons<DisassemblerMacho>(vxtest::MakeMacho(false), {
        {"valid", [](Image&) {}, ""},
        {"x86-64 cpu in a 32-bit header", [](Image& i) { Put32(i, 4, 0x01000007); }, "unsupported cpu type"},
        {"LC_SEGMENT_64", [](Image& i) { Put32(i, 28, 0x19); }, "LC_SEGMENT_64 not supported"},
        {"short LC_SEGMENT", [](Image& i) { Put32(i, 28 + 4, 55); }, "bad LC_SEGMENT"},
        {"rebased segment past 32 bits", [](Image& i) {
             Put32(i, 16, 2);
             Put32(i, 152, 0x1);
             Put32(i, 152 + 4, 56);
             Put32(i, 152 + 24, 0xFFFFF000);
             Put32(i, 152 + 28, 0x2000);
         }, "overflow"},
    });
}

TEST(DisassemblerMacho, ReportsItsKindAndRebasesToZero)
{
    Image image = vxtest::MakeMacho(true);
    image.resize(image.size() + 64, 0xAB);
    DisassemblerMacho disassembler(image.data(), uint32_t(image.size()));
    EXPECT_EQ(disassembler.executableType(), EXE_UNKNOWN);
    ASSERT_TRUE(disassembler.ParseHeader());
    EXPECT_EQ(disassembler.executableType(), EXE_MACHO_X64);
    EXPECT_EQ(disassembler.length(), 0x200u);
    EXPECT_EQ(disassembler.RVAToFileOffset(0), 0u);
    EXPECT_EQ(disassembler.RVAToFileOffset(0x1FF), 0x1FFu);
    EXPECT_EQ(disassembler.RVAToFileOffset(0x200), 0xFFFFFFFFu);
    EXPECT_EQ(disassembler.RVAToFileOffset(0x1000), 0xFFFFFFFFu);
}

TEST(ExecutableDetection, TriesTheCandidatesInOrder)
{
    struct Case {
        const char* name;
        Image image;
        ExecutableType type;
    };
    const Case cases[] = {
        {"PE32", vxtest::MakePe(false), EXE_WIN_32_X86},
        {"PE32+", vxtest::MakePe(true), EXE_WIN_32_X64},
        {"ELF x86", vxtest::MakeElf(false, 3), EXE_ELF_32_X86},
        {"ELF x86-64", vxtest::MakeElf(true, 62), EXE_ELF_64_X64},
        {"ELF ARM", vxtest::MakeElf(false, 40), EXE_ELF_32_ARM},
        {"Mach-O x86", vxtest::MakeMacho(false), EXE_MACHO_X86},
        {"Mach-O x86-64", vxtest::MakeMacho(true), EXE_MACHO_X64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExecutableType type = EXE_UNKNOWN;
        uint32_t length = 0;
        EXPECT_EQ(DetectExecutable(c.image.data(), uint32_t(c.image.size()), &type, &length), 1);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(length, c.image.size());
    }

    // The first candidate looks at a PE32+ image and turns it down; the second claims it.
    const Image pe64 = vxtest::MakePe(true);
    DisassemblerWin32X86 first(pe64.data(), uint32_t(pe64.size()));
    EXPECT_FALSE(first.ParseHeader());
    EXPECT_STREQ(first.reason(), "64 bit executables are not supported by this disassembler");
    std::unique_ptr<Disassembler> found(FindDisassembler(pe64.data(), uint32_t(pe64.size())));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->executableType(), EXE_WIN_32_X64);
}

TEST(ExecutableDetection, RejectsTenBytesEverywhere)
{
    const uint8_t bytes[10] = {'M', 'Z', 0x7F, 'E', 'L', 'F'};
    ExecutableType type = EXE_MACHO_X64;
    uint32_t length = 99;
    EXPECT_EQ(DetectExecutable(bytes, sizeof bytes, &type, &length), 24);
    EXPECT_EQ(type, EXE_UNKNOWN);
    EXPECT_EQ(length, 0u);
    DisassembledProgram* program = reinterpret_cast<DisassembledProgram*>(1);
    EXPECT_EQ(DisassembleExecutable(bytes, sizeof bytes, &program), 24);
    EXPECT_EQ(program, nullptr);
    DeleteDisassembledProgram(nullptr);
}

} // namespace
} // namespace vxpatch
