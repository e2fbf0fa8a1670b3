#include "disassemblerwin32.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "disassembledprogram.h"
#include "executablebytes.h"
#include "log.h"

namespace vxpatch {

namespace {

constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kRelocTypeHighLow = 3;
constexpr uint32_t kRelocTypeDir64 = 10;

// Index of each kept data directory.
constexpr uint32_t kExportIndex = 0, kImportIndex = 1, kResourceIndex = 2, kExceptionIndex = 3,
                   kBaseRelocationIndex = 5, kBoundImportIndex = 11, kImportAddressIndex = 12,
                   kDelayImportIndex = 13, kRuntimeHeaderIndex = 14;

} // namespace

DisassemblerWin32::DisassemblerWin32(const uint8_t* start, uint32_t length, bool x64Target)
    : Disassembler(start, length), x64Target_(x64Target)
{
}

DisassemblerWin32::~DisassemblerWin32() = default;

uint32_t DisassemblerWin32::VirtualSize(uint32_t i) const
{
    return ReadU32(SectionHeader(i) + 8);
}

uint32_t DisassemblerWin32::VirtualAddress(uint32_t i) const
{
    return ReadU32(SectionHeader(i) + 12);
}

uint32_t DisassemblerWin32::SizeOfRawData(uint32_t i) const
{
    return ReadU32(SectionHeader(i) + 16);
}

uint32_t DisassemblerWin32::PointerToRawData(uint32_t i) const
{
    return ReadU32(SectionHeader(i) + 20);
}

bool DisassemblerWin32::IsTextSection(uint32_t i) const
{
    return std::strncmp(reinterpret_cast<const char*>(SectionHeader(i)), ".text", 8) == 0;
}

// Reads directory `index` when the header announces it; an announced entry
// must lie inside both the optional header and the buffer.
bool DisassemblerWin32::ReadDataDirectory(uint32_t index, DataDirectory* directory)
{
    *directory = DataDirectory();
    if (int32_t(numberOfRvaAndSizes_) <= int32_t(index))
        return true;
    const uint32_t entryOffset = (is64_ ? 112 : 96) + 8 * index;
    if (entryOffset >= sizeOfOptionalHeader_)
        return Reject("number of data directories inconsistent");
    const uint8_t* entry = optionalHeader_ + entryOffset;
    if (!(entry + 8 < end_))
        return Reject("data directory outside image");
    const uint32_t size = ReadU32(entry + 4);
    if (size > sizeOfImage_)
        return Reject("data directory size too big");
    directory->rva = ReadU32(entry);
    directory->size = size;
    return true;
}

// Checks the DOS and PE headers, reads the directories and the section table
// and clips the length to the end of the last raw data. The section table must
// lie inside the buffer, since it is read without further checks.
bool DisassemblerWin32::ParseHeader()
{
    if (length_ < 64)
        return Reject("Too small");
    if (start_[0] != 'M' || start_[1] != 'Z')
        return Reject("Not MZ");
    const uint32_t pe = ReadU32(start_ + 60);
    if (pe >= length_ || pe == 0 || pe >= length_ - 24)
        return Reject("Bad offset to PE header");
    if (pe % 8 != 0)
        return Reject("Misaligned PE header");
    if (std::memcmp(start_ + pe, "PE\0\0", 4) != 0)
        return Reject("no PE signature");
    machine_ = ReadU16(start_ + pe + 4);
    sectionCount_ = ReadU16(start_ + pe + 6);
    sizeOfOptionalHeader_ = ReadU16(start_ + pe + 20);
    const uint32_t optionalOffset = pe + 24;
    if (uint64_t(optionalOffset) + sizeOfOptionalHeader_ >= length_)
        return Reject("optional header past end of file");
    if (sizeOfOptionalHeader_ < 2)
        return Reject("optional header no magic");
    optionalHeader_ = start_ + optionalOffset;
    const uint16_t magic = ReadU16(optionalHeader_);
    if (magic == 0x20B)
        is64_ = true;
    else if (magic == 0x10B)
        is64_ = false;
    else
        return Reject("unrecognized magic");
    if (sizeOfOptionalHeader_ < (is64_ ? 112 : 96))
        return Reject("optional header too short");

    const uint8_t* opt = optionalHeader_;
    sizeOfCode_ = ReadU32(opt + 4);
    sizeOfInitializedData_ = ReadU32(opt + 8);
    sizeOfUninitializedData_ = ReadU32(opt + 12);
    baseOfCode_ = ReadU32(opt + 20);
    baseOfData_ = is64_ ? 0 : ReadU32(opt + 24);
    imageBase_ = is64_ ? ReadU64(opt + 24) : ReadU32(opt + 28);
    sizeOfImage_ = ReadU32(opt + 56);
    numberOfRvaAndSizes_ = ReadU32(opt + (is64_ ? 108 : 92));

    bool directoriesRead = true;
    directoriesRead &= ReadDataDirectory(kExportIndex, &exportTable_);
    directoriesRead &= ReadDataDirectory(kImportIndex, &importTable_);
    directoriesRead &= ReadDataDirectory(kResourceIndex, &resourceTable_);
    directoriesRead &= ReadDataDirectory(kExceptionIndex, &exceptionTable_);
    directoriesRead &= ReadDataDirectory(kBaseRelocationIndex, &baseRelocationTable_);
    directoriesRead &= ReadDataDirectory(kBoundImportIndex, &boundImportTable_);
    directoriesRead &= ReadDataDirectory(kImportAddressIndex, &importAddressTable_);
    directoriesRead &= ReadDataDirectory(kDelayImportIndex, &delayImportDescriptor_);
    directoriesRead &= ReadDataDirectory(kRuntimeHeaderIndex, &runtimeHeader_);
    if (!directoriesRead)
        return Reject("malformed data directory");

    const uint32_t sectionTableOffset = optionalOffset + sizeOfOptionalHeader_;
    if (!RangeInside(sectionTableOffset, uint64_t(sectionCount_) * kSectionHeaderSize, length_))
        return Reject("section table outside image");
    sectionTable_ = start_ + sectionTableOffset;
    hasText_ = false;
    uint32_t extent = 0;
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        if (std::memcmp(SectionHeader(i), ".text\0", 6) == 0)
            hasText_ = true;
        extent = std::max(extent, PointerToRawData(i) + SizeOfRawData(i));
    }
    ClipLength(extent);

    if (!x64Target_ && is64_)
        return Reject("64 bit executables are not supported by this disassembler");
    if (x64Target_ && !is64_)
        return Reject("32 bit executables are not supported by this disassembler");
    if (!hasText_)
        return Reject("Resource-only executables are not yet supported");
    return Accept();
}

bool DisassemblerWin32::RvaToFileOffset(uint32_t rva, uint32_t* offset) const
{
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        const uint32_t delta = rva - VirtualAddress(i);
        if (delta < VirtualSize(i)) {
            if (delta >= SizeOfRawData(i))
                return false;
            *offset = PointerToRawData(i) + delta;
            return true;
        }
    }
    if (rva == 0 || rva == 2) {
        *offset = rva;
        return true;
    }
    ::log("REACHED UNREACHABLE", LogLevel_ERROR, std::string(), 0);
    return false;
}

// The first section in table order whose raw data holds the offset.
uint32_t DisassemblerWin32::FileOffsetToRva(uint32_t offset) const
{
    uint32_t i = 0;
    if (!rawIndex_.Find(offset, &i))
        return 0;
    return VirtualAddress(i) + (offset - PointerToRawData(i));
}

int DisassemblerWin32::NextSection(uint32_t position) const
{
    auto it = std::lower_bound(rawOrder_.begin(), rawOrder_.end(), position,
                               [this](uint32_t section, uint32_t p) { return PointerToRawData(section) < p; });
    return it == rawOrder_.end() ? -1 : int(*it);
}

// Sections with raw data in file order (table order among equal offsets), and
// an index of their raw data by offset.
void DisassemblerWin32::BuildIndexes()
{
    rawOrder_.clear();
    rawIndex_.Clear();
    for (uint32_t i = sectionCount_; i-- > 0;) {
        if (SizeOfRawData(i) == 0)
            continue;
        rawOrder_.push_back(i);
        rawIndex_.Paint(PointerToRawData(i), uint64_t(PointerToRawData(i)) + SizeOfRawData(i), i);
    }
    std::stable_sort(rawOrder_.begin(), rawOrder_.end(), [this](uint32_t a, uint32_t b) {
        return PointerToRawData(a) < PointerToRawData(b) || (PointerToRawData(a) == PointerToRawData(b) && a < b);
    });
}

// Raw data that the walk and the scans read must lie inside the buffer.
bool DisassemblerWin32::RawDataInsideBuffer() const
{
    const uint64_t bufferLength = uint64_t(end_ - start_);
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        if (SizeOfRawData(i) != 0 && !RangeInside(PointerToRawData(i), SizeOfRawData(i), bufferLength))
            return false;
    }
    return true;
}

bool DisassemblerWin32::Disassemble(DisassembledProgram* program)
{
    if (reason_)
        return false;
    program->setImageBase(x64Target_ ? imageBase_ : uint32_t(imageBase_));
    if (!RawDataInsideBuffer())
        return false;
    try {
        BuildIndexes();
        if (!ParseRelocs())
            return false;
        rel32Rvas.clear();
        if (length_ != 0) {
            uint32_t position = 0;
            for (int next = NextSection(position); next >= 0; next = NextSection(position)) {
                const uint32_t section = uint32_t(next);
                if (IsTextSection(section))
                    ScanSectionForRel32(section);
                position = std::max(position, PointerToRawData(section)) + SizeOfRawData(section);
                if (position >= length_)
                    break;
            }
        }
        std::sort(rel32Rvas.begin(), rel32Rvas.end());
        if (!WalkFile(program))
            return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    program->NumberLabels();
    return true;
}

// Collects the absolute locations named by the base relocation blocks.
bool DisassemblerWin32::ParseRelocs()
{
    abs32Rvas.clear();
    const DataDirectory& table = baseRelocationTable_;
    if (table.size == 0)
        return true;
    const uint64_t bufferLength = uint64_t(end_ - start_);
    uint32_t offset = 0;
    if (!RvaToFileOffset(table.rva, &offset) || offset >= bufferLength || table.size > bufferLength - offset)
        return Reject(".relocs outside image");
    const uint32_t wantedType = x64Target_ ? kRelocTypeDir64 : kRelocTypeHighLow;
    const uint64_t tableEnd = uint64_t(offset) + table.size;
    if (table.size >= 9) {
        uint64_t block = offset;
        while (block + 8 < tableEnd) {
            const uint32_t page = ReadU32(start_ + block);
            const uint32_t blockSize = ReadU32(start_ + block + 4);
            if (blockSize < 8 || blockSize % 4 != 0)
                return Reject("unreasonable relocs block");
            if (blockSize > bufferLength - block)
                return Reject(".relocs block outside image");
            for (uint64_t entry = block + 8; entry < block + blockSize; entry += 2) {
                const uint16_t value = ReadU16(start_ + entry);
                const uint32_t type = value >> 12;
                if (type == 0)
                    continue;
                if (type != wantedType)
                    return Reject("unknown type of reloc");
                abs32Rvas.push_back(page + (value & 0xFFF));
            }
            block += blockSize;
        }
    }
    std::sort(abs32Rvas.begin(), abs32Rvas.end());
    return true;
}

void DisassemblerWin32::ScanSectionForRel32(uint32_t section)
{
    const uint32_t rawStart = PointerToRawData(section);
    const uint64_t rawEnd = uint64_t(rawStart) + SizeOfRawData(section);
    const uint32_t startRva = FileOffsetToRva(rawStart);
    const uint32_t endRva = startRva + VirtualSize(section);
    const DataDirectory& relocs = baseRelocationTable_;
    size_t nextAbs = 0;
    uint64_t p = rawStart;
    while (p < rawEnd) {
        const uint32_t cur = startRva + uint32_t(p - rawStart);
        if (cur == relocs.rva && relocs.size != 0) {
            p += relocs.size;
            continue;
        }
        const uint64_t remaining = rawEnd - p;
        const uint8_t* b = start_ + p;
        uint32_t fieldDistance = 0;
        bool ripRelative = false;
        if (remaining >= 5 && (b[0] == 0xE8 || b[0] == 0xE9)) {
            fieldDistance = 1;
        } else if (remaining >= 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B) {
            fieldDistance = 2;
        } else if (x64Target_ && remaining >= 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25)) {
            fieldDistance = 2;
            ripRelative = true;
        } else if (x64Target_ && remaining >= 7 && (b[0] == 0x48 || b[0] == 0x49) && (b[1] == 0x8B || b[1] == 0x8D)
                   && (b[2] & 0xC7) == 0x05) {
            fieldDistance = 3;
            ripRelative = true;
        }
        if (fieldDistance == 0) {
            ++p;
            continue;
        }
        const uint32_t r = cur + fieldDistance;
        while (nextAbs < abs32Rvas.size() && abs32Rvas[nextAbs] < r - 3)
            ++nextAbs;
        if (nextAbs < abs32Rvas.size() && abs32Rvas[nextAbs] < r + 4) {
            p += uint32_t(abs32Rvas[nextAbs] + 4 - cur);
            continue;
        }
        const uint32_t target = r + 4 + ReadU32(b + fieldDistance);
        const bool inSection = startRva <= target && target < endRva;
        if (target < sizeOfImage_ && (ripRelative || inSection)) {
            rel32Rvas.push_back(r);
            p += fieldDistance + 4;
        } else {
            ++p;
        }
    }
}

bool DisassemblerWin32::WalkFile(DisassembledProgram* program)
{
    uint32_t position = 0;
    while (position < length_) {
        const int next = NextSection(position);
        if (next < 0)
            break;
        const uint32_t section = uint32_t(next);
        for (uint32_t p = position; p < PointerToRawData(section); ++p) {
            if (!program->AddByte(start_[p]))
                return false;
        }
        if (!WalkRegion(section, program))
            return false;
        position = PointerToRawData(section) + SizeOfRawData(section);
    }
    return true;
}

bool DisassemblerWin32::WalkRegion(uint32_t section, DisassembledProgram* program)
{
    const uint32_t rawStart = PointerToRawData(section);
    const uint64_t rawEnd = uint64_t(rawStart) + SizeOfRawData(section);
    const uint32_t startRva = FileOffsetToRva(rawStart);
    if (!program->AddOrigin(startRva))
        return false;
    const uint64_t bufferLength = uint64_t(end_ - start_);
    const uint32_t imageBaseLow = uint32_t(imageBase_);
    const DataDirectory& relocs = baseRelocationTable_;
    size_t nextAbs = 0;
    size_t nextRel = 0;
    uint64_t p = rawStart;
    while (p < rawEnd) {
        const uint32_t cur = startRva + uint32_t(p - rawStart);
        if (cur == relocs.rva) {
            if (!program->AddPeRelocTable())
                return false;
            if (relocs.size != 0) {
                p += relocs.size;
                continue;
            }
        }
        while (nextAbs < abs32Rvas.size() && abs32Rvas[nextAbs] < cur)
            ++nextAbs;
        while (nextRel < rel32Rvas.size() && rel32Rvas[nextRel] < cur)
            ++nextRel;
        const bool isAbs = nextAbs < abs32Rvas.size() && abs32Rvas[nextAbs] == cur;
        const bool isRel = !isAbs && nextRel < rel32Rvas.size() && rel32Rvas[nextRel] == cur;
        if (isAbs || isRel) {
            if (!RangeInside(p, 4, bufferLength))
                return false;
            const uint32_t value = ReadU32(start_ + p);
            Label* label = isAbs ? program->Abs32LabelAt(value - imageBaseLow) : program->Rel32LabelAt(cur + 4 + value);
            if (!(isAbs ? program->AddAbs32(label) : program->AddRel32(label)))
                return false;
            p += 4;
        } else {
            if (!program->AddByte(start_[p]))
                return false;
            ++p;
        }
    }
    return true;
}

} // namespace vxpatch
