#ifndef VXTEST_IMAGEBUILDERS_H
#define VXTEST_IMAGEBUILDERS_H

#include <cstdint>
#include <cstring>
#include <vector>

// Minimal hand-made executable images for header checks and small
// disassemblies. Each builder gives a valid image that the tests then break in
// one place.
namespace vxtest {

using Image = std::vector<uint8_t>;

inline void Put16(Image& image, size_t at, uint16_t value)
{
    image[at] = uint8_t(value);
    image[at + 1] = uint8_t(value >> 8);
}

inline void Put32(Image& image, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        image[at + i] = uint8_t(value >> (8 * i));
}

inline void Put64(Image& image, size_t at, uint64_t value)
{
    Put32(image, at, uint32_t(value));
    Put32(image, at + 4, uint32_t(value >> 32));
}

// PE layout: headers at 0x80, optional header at 0x98, one ".text" section
// (rva 0x1000, raw data 0x200..0x400).
struct PeLayout {
    static constexpr size_t kPe = 0x80;
    static constexpr size_t kOptional = kPe + 24;
    static size_t SectionTable(bool is64) { return kOptional + (is64 ? 0xF0 : 0xE0); }
};

inline Image MakePe(bool is64)
{
    Image image(0x400, 0);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 60, PeLayout::kPe);
    std::memcpy(&image[PeLayout::kPe], "PE\0\0", 4);
    Put16(image, PeLayout::kPe + 4, is64 ? 0x8664 : 0x14C);
    Put16(image, PeLayout::kPe + 6, 1);
    Put16(image, PeLayout::kPe + 20, is64 ? 0xF0 : 0xE0);
    const size_t opt = PeLayout::kOptional;
    Put16(image, opt, is64 ? 0x20B : 0x10B);
    if (is64)
        Put64(image, opt + 24, 0x140000000ull);
    else
        Put32(image, opt + 28, 0x400000);
    Put32(image, opt + 56, 0x2000);
    Put32(image, opt + (is64 ? 108 : 92), 16);
    const size_t section = PeLayout::SectionTable(is64);
    std::memcpy(&image[section], ".text", 5);
    Put32(image, section + 8, 0x200);
    Put32(image, section + 12, 0x1000);
    Put32(image, section + 16, 0x200);
    Put32(image, section + 20, 0x200);
    return image;
}

// ELF layout: one PT_LOAD of the whole file at vaddr 0x1000, sections null,
// PROGBITS ".text" at 0x80 (0x40 bytes) and a string table; header table at 0x100.
struct ElfLayout {
    static constexpr size_t kText = 0x80;
    static constexpr size_t kTextSize = 0x40;
    static constexpr size_t kSectionTable = 0x100;
};

inline Image MakeElf(bool is64, uint16_t machine)
{
    const size_t shsize = is64 ? 64 : 40;
    const size_t phoff = is64 ? 64 : 52;
    Image image(ElfLayout::kSectionTable + 3 * shsize, 0);
    std::memcpy(&image[0], "\x7F" "ELF", 4);
    image[4] = is64 ? 2 : 1;
    image[5] = 1;
    Put16(image, 16, 3);
    Put16(image, 18, machine);
    Put32(image, 20, 1);
    if (is64) {
        Put64(image, 32, phoff);
        Put64(image, 40, ElfLayout::kSectionTable);
        Put16(image, 56, 1);
        Put16(image, 58, 64);
        Put16(image, 60, 3);
        Put16(image, 62, 2);
        Put32(image, phoff, 1);
        Put64(image, phoff + 8, 0);
        Put64(image, phoff + 16, 0x1000);
        Put64(image, phoff + 32, image.size());
        Put64(image, phoff + 40, image.size());
    } else {
        Put32(image, 28, phoff);
        Put32(image, 32, ElfLayout::kSectionTable);
        Put16(image, 44, 1);
        Put16(image, 46, 40);
        Put16(image, 48, 3);
        Put16(image, 50, 2);
        Put32(image, phoff, 1);
        Put32(image, phoff + 4, 0);
        Put32(image, phoff + 8, 0x1000);
        Put32(image, phoff + 16, image.size());
        Put32(image, phoff + 20, image.size());
    }
    const size_t text = ElfLayout::kSectionTable + shsize;
    const size_t strings = text + shsize;
    Put32(image, text + 4, 1);
    Put32(image, strings + 4, 3);
    if (is64) {
        Put64(image, text + 16, 0x1000 + ElfLayout::kText);
        Put64(image, text + 24, ElfLayout::kText);
        Put64(image, text + 32, ElfLayout::kTextSize);
        Put64(image, strings + 24, 0xC0);
        Put64(image, strings + 32, 0x10);
    } else {
        Put32(image, text + 12, 0x1000 + ElfLayout::kText);
        Put32(image, text + 16, ElfLayout::kText);
        Put32(image, text + 20, ElfLayout::kTextSize);
        Put32(image, strings + 16, 0xC0);
        Put32(image, strings + 20, 0x10);
    }
    return image;
}

// Mach-O layout: one segment (vmaddr base + 0, 0x1000 bytes, file 0..0x200)
// holding one pure-instruction section "__text" at file offset 0x100, 0x40 bytes.
struct MachoLayout {
    static constexpr size_t kText = 0x100;
    static constexpr size_t kTextSize = 0x40;
};

inline Image MakeMacho(bool is64)
{
    Image image(0x200, 0);
    Put32(image, 0, is64 ? 0xFEEDFACF : 0xFEEDFACE);
    Put32(image, 4, is64 ? 0x01000007 : 7);
    Put32(image, 12, 2);
    Put32(image, 16, 1);
    const size_t cmd = is64 ? 32 : 28;
    if (is64) {
        Put32(image, 20, 152);
        Put32(image, cmd, 0x19);
        Put32(image, cmd + 4, 152);
        Put64(image, cmd + 24, 0x100000000ull);
        Put64(image, cmd + 32, 0x1000);
        Put64(image, cmd + 40, 0);
        Put64(image, cmd + 48, 0x200);
        Put32(image, cmd + 64, 1);
        const size_t section = cmd + 72;
        std::memcpy(&image[section], "__text", 6);
        Put64(image, section + 32, 0x100000000ull + MachoLayout::kText);
        Put64(image, section + 40, MachoLayout::kTextSize);
        Put32(image, section + 48, MachoLayout::kText);
        Put32(image, section + 64, 0x80000400);
    } else {
        Put32(image, 20, 124);
        Put32(image, cmd, 0x1);
        Put32(image, cmd + 4, 124);
        Put32(image, cmd + 24, 0x1000);
        Put32(image, cmd + 28, 0x1000);
        Put32(image, cmd + 32, 0);
        Put32(image, cmd + 36, 0x200);
        Put32(image, cmd + 48, 1);
        const size_t section = cmd + 56;
        std::memcpy(&image[section], "__text", 6);
        Put32(image, section + 32, 0x1000 + MachoLayout::kText);
        Put32(image, section + 36, MachoLayout::kTextSize);
        Put32(image, section + 40, MachoLayout::kText);
        Put32(image, section + 56, 0x80000400);
    }
    return image;
}

} // namespace vxtest

#endif // VXTEST_IMAGEBUILDERS_H
