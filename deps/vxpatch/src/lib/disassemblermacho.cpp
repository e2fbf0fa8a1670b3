#include "disassemblermacho.h"

#include <algorithm>
#include <new>
#include <string>

#include "disassembledprogram.h"
#include "executablebytes.h"
#include "log.h"

namespace vxpatch {

namespace {

constexpr uint32_t MH_MAGIC = 0xFEEDFACE;
constexpr uint32_t MH_MAGIC_64 = 0xFEEDFACF;
constexpr uint32_t CPU_TYPE_X86 = 7;
constexpr uint32_t CPU_TYPE_X86_64 = 0x01000007;
constexpr uint32_t LC_SEGMENT = 0x1;
constexpr uint32_t LC_SEGMENT_64 = 0x19;
constexpr uint32_t kSectionTypeMask = 0x800000FF;
constexpr uint32_t kPureInstructions = 0x80000000;
constexpr uint32_t kNoOffset = 0xFFFFFFFFu;

bool FitsIn32(uint64_t value)
{
    return value <= 0xFFFFFFFFu;
}

} // namespace

DisassemblerMacho::DisassemblerMacho(const uint8_t* start, uint32_t length) : Disassembler(start, length)
{
}

DisassemblerMacho::~DisassemblerMacho() = default;

ExecutableType DisassemblerMacho::executableType() const
{
    return ExecutableType(kind);
}

// Checks the header, walks the load commands for the segments and their
// pure-instruction sections, rebases them and clips the length to the largest
// segment end. Every load command must lie inside the buffer.
bool DisassemblerMacho::ParseHeader()
{
    extent = 0;
    if (length_ < 32)
        return Reject("Too small");
    const uint32_t magic = ReadU32(start_);
    const uint32_t cputype = ReadU32(start_ + 4);
    uint32_t commandOffset = 0;
    if (magic == MH_MAGIC_64) {
        if (cputype != CPU_TYPE_X86_64)
            return Reject("unsupported cpu type");
        kind = EXE_MACHO_X64;
        commandOffset = 32;
    } else if (magic == MH_MAGIC) {
        if (cputype != CPU_TYPE_X86)
            return Reject("unsupported cpu type");
        kind = EXE_MACHO_X86;
        commandOffset = 28;
    } else {
        return Reject("Unknown magic type");
    }
    const uint32_t filetype = ReadU32(start_ + 12);
    if (filetype != 2 && filetype != 5 && filetype != 6 && filetype != 8)
        return Reject("Unsupported filetype in header");

    segments.clear();
    sections.clear();
    try {
        const uint32_t ncmds = ReadU32(start_ + 16);
        uint64_t offset = commandOffset;
        for (uint32_t i = 0; i < ncmds; ++i) {
            if (!RangeInside(offset, 8, length_))
                return Reject("file to small in load commands");
            const uint8_t* command = start_ + offset;
            const uint32_t cmd = ReadU32(command);
            const uint32_t cmdsize = ReadU32(command + 4);
            if (!RangeInside(offset, cmdsize, length_))
                return Reject("file to small in load commands");
            if (cmd == LC_SEGMENT_64) {
                if (!ParseSegment64(command, cmdsize))
                    return false;
            } else if (cmd == LC_SEGMENT) {
                if (!ParseSegment(command, cmdsize))
                    return false;
            } else if (cmdsize == 0) {
                // Every remaining command would be this same one again.
                break;
            }
            offset += cmdsize;
        }

        uint64_t base = 0xFFFFFFFFFFFFFFFFull;
        for (const MachoSegment& segment : segments)
            base = std::min(base, segment.vmaddr);
        for (MachoSegment& segment : segments) {
            segment.vmaddr -= base;
            if (segment.vmaddr > 0xFFFFFFFFu - segment.vmsize)
                return Reject("overflow");
        }
        for (MachoSection& section : sections)
            section.addr -= base;
        if (sections.empty())
            return Reject("Resource-only executables are not yet supported");
        std::stable_sort(sections.begin(), sections.end(),
                         [](const MachoSection& a, const MachoSection& b) { return a.offset < b.offset; });
    } catch (const std::bad_alloc&) {
        return Reject("out of memory");
    }
    ClipLength(extent);
    return Accept();
}

bool DisassemblerMacho::ParseSegment(const uint8_t* command, uint32_t cmdsize)
{
    if (kind != EXE_MACHO_X86)
        return Reject("LC_SEGMENT not supported");
    if (cmdsize < 56)
        return Reject("bad LC_SEGMENT");
    const MachoSegment segment{ReadU32(command + 24), ReadU32(command + 28), ReadU32(command + 32),
                               ReadU32(command + 36)};
    segments.push_back(segment);
    const uint64_t segmentEnd = uint64_t(segment.fileoff) + segment.filesize;
    extent = uint32_t(std::max<uint64_t>(extent, segmentEnd));
    if (segmentEnd > length_)
        return Reject("segment too large");
    const uint32_t nsects = ReadU32(command + 48);
    if (56 + 68 * uint64_t(nsects) > cmdsize)
        return Reject("sections too small");
    for (uint32_t i = 0; i < nsects; ++i) {
        const uint8_t* section = command + 56 + 68 * size_t(i);
        if ((ReadU32(section + 56) & kSectionTypeMask) != kPureInstructions)
            continue;
        const uint32_t addr = ReadU32(section + 32);
        const uint32_t size = ReadU32(section + 36);
        if (addr < segment.vmaddr || uint64_t(addr) + size - segment.vmaddr > segment.vmsize)
            return Reject("section larger than segment");
        sections.push_back(MachoSection{addr, size, ReadU32(section + 40)});
    }
    return true;
}

bool DisassemblerMacho::ParseSegment64(const uint8_t* command, uint32_t cmdsize)
{
    if (kind != EXE_MACHO_X64)
        return Reject("LC_SEGMENT_64 not supported");
    if (cmdsize < 72)
        return Reject("bad LC_SEGMENT_64");
    const uint32_t nsects = ReadU32(command + 64);
    if (nsects == 0)
        return true;
    const uint64_t vmaddr = ReadU64(command + 24);
    const uint64_t vmsize = ReadU64(command + 32);
    const uint64_t fileoff = ReadU64(command + 40);
    const uint64_t filesize = ReadU64(command + 48);
    if (!FitsIn32(vmsize) || !FitsIn32(fileoff) || !FitsIn32(filesize))
        return Reject("overflow");
    segments.push_back(MachoSegment{vmaddr, uint32_t(vmsize), uint32_t(fileoff), uint32_t(filesize)});
    const uint64_t segmentEnd = fileoff + filesize;
    extent = uint32_t(std::max<uint64_t>(extent, segmentEnd));
    if (segmentEnd > length_)
        return Reject("segment too large");
    if (72 + 80 * uint64_t(nsects) > cmdsize)
        return Reject("sections too small");
    for (uint32_t i = 0; i < nsects; ++i) {
        const uint8_t* section = command + 72 + 80 * size_t(i);
        if ((ReadU32(section + 64) & kSectionTypeMask) != kPureInstructions)
            continue;
        const uint64_t addr = ReadU64(section + 32);
        const uint64_t size = ReadU64(section + 40);
        if (!FitsIn32(size))
            return Reject("overflow");
        if (addr < vmaddr || (addr - vmaddr) + size > vmsize)
            return Reject("section larger than segment");
        sections.push_back(MachoSection{addr, uint32_t(size), ReadU32(section + 48)});
    }
    return true;
}

uint32_t DisassemblerMacho::RVAToFileOffset(uint32_t rva) const
{
    for (const MachoSegment& segment : segments) {
        if (segment.vmaddr <= rva && rva - segment.vmaddr < segment.vmsize) {
            const uint64_t delta = rva - segment.vmaddr;
            return delta < segment.filesize ? uint32_t(segment.fileoff + delta) : kNoOffset;
        }
    }
    ::log("RVAToFileOffset reached invalid point", LogLevel_WARNING, std::string(), 0);
    return kNoOffset;
}

// The first segment in load-command order whose file part holds the offset.
uint32_t DisassemblerMacho::FileOffsetToRva(uint32_t offset) const
{
    uint32_t i = 0;
    if (!fileIndex_.Find(offset, &i))
        return 0;
    return uint32_t(segments[i].vmaddr + (offset - segments[i].fileoff));
}

bool DisassemblerMacho::TargetInSegment(uint32_t target) const
{
    return memoryIndex_.Contains(target);
}

void DisassemblerMacho::BuildIndexes()
{
    fileIndex_.Clear();
    memoryIndex_.Clear();
    for (uint32_t i = uint32_t(segments.size()); i-- > 0;) {
        const MachoSegment& segment = segments[i];
        fileIndex_.Paint(segment.fileoff, uint64_t(segment.fileoff) + segment.filesize, i);
        memoryIndex_.Paint(segment.vmaddr, segment.vmaddr + segment.vmsize, i);
    }
}

bool DisassemblerMacho::Disassemble(DisassembledProgram* program)
{
    if (reason_)
        return false;
    program->setImageBase(0);
    const uint64_t bufferLength = uint64_t(end_ - start_);
    try {
        BuildIndexes();
        rel32Rvas.clear();
        // Real images never overlap their code sections; many overlapping
        // copies would make the scan grow without bound.
        uint64_t scanned = 0;
        for (const MachoSection& section : sections) {
            if (int32_t(section.size) < 1)
                continue;
            scanned += section.size;
            if (!RangeInside(section.offset, section.size, bufferLength) || scanned > 2 * bufferLength)
                return false;
            ScanSection(section);
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

void DisassemblerMacho::ScanSection(const MachoSection& section)
{
    const uint32_t startRva = FileOffsetToRva(section.offset);
    const uint64_t sectionEnd = uint64_t(section.offset) + section.size;
    uint64_t p = section.offset;
    while (p < sectionEnd) {
        const uint64_t remaining = sectionEnd - p;
        const uint8_t* b = start_ + p;
        uint32_t fieldDistance = 0;
        bool ripRelative = false;
        if (remaining >= 5 && (b[0] == 0xE8 || b[0] == 0xE9)) {
            fieldDistance = 1;
        } else if (remaining >= 6 && b[0] == 0xFF && (b[1] == 0x15 || b[1] == 0x25)) {
            fieldDistance = 2;
            ripRelative = true;
        } else if (remaining >= 6 && b[0] == 0x0F && (b[1] & 0xF0) == 0x80 && b[1] != 0x8A && b[1] != 0x8B) {
            fieldDistance = 2;
        } else if (remaining >= 7 && (b[0] == 0x48 || b[0] == 0x49) && (b[1] == 0x8D || b[1] == 0x8B)
                   && (b[2] & 0xC7) == 0x05) {
            fieldDistance = 3;
            ripRelative = true;
        }
        if (fieldDistance == 0 || (ripRelative && kind == EXE_MACHO_X86)) {
            ++p;
            continue;
        }
        const uint32_t r = startRva + uint32_t(p + fieldDistance - section.offset);
        const uint32_t target = r + 4 + ReadU32(b + fieldDistance);
        if (TargetInSegment(target)) {
            rel32Rvas.push_back(r);
            p += fieldDistance + 4;
        } else {
            ++p;
        }
    }
}

bool DisassemblerMacho::WalkFile(DisassembledProgram* program)
{
    const uint64_t bufferLength = uint64_t(end_ - start_);
    uint32_t position = 0;
    auto from = sections.begin();
    while (position < length_) {
        // Searching on after the last walked section, so an empty section is walked once.
        auto next = std::find_if(from, sections.end(), [position](const MachoSection& s) { return s.offset >= position; });
        if (next == sections.end()) {
            for (uint32_t p = position; p < length_; ++p) {
                if (!program->AddByte(start_[p]))
                    return false;
            }
            return true;
        }
        if (!RangeInside(next->offset, next->size, bufferLength))
            return false;
        for (uint32_t p = position; p < next->offset; ++p) {
            if (!program->AddByte(start_[p]))
                return false;
        }
        position = next->offset;
        if (!WalkRegion(position, next->size, program))
            return false;
        position += next->size;
        from = next + 1;
    }
    return true;
}

bool DisassemblerMacho::WalkRegion(uint32_t regionStart, uint32_t size, DisassembledProgram* program)
{
    const uint32_t origin = FileOffsetToRva(regionStart);
    if (!program->AddOrigin(origin))
        return false;
    const uint64_t bufferLength = uint64_t(end_ - start_);
    const uint64_t regionEnd = uint64_t(regionStart) + size;
    auto nextRel = rel32Rvas.begin();
    uint64_t p = regionStart;
    while (p < regionEnd) {
        const uint32_t cur = origin + uint32_t(p - regionStart);
        nextRel = std::lower_bound(nextRel, rel32Rvas.end(), cur);
        if (nextRel != rel32Rvas.end() && *nextRel == cur) {
            if (!RangeInside(p, 4, bufferLength))
                return false;
            if (!program->AddRel32(program->Rel32LabelAt(cur + 4 + ReadU32(start_ + p))))
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
