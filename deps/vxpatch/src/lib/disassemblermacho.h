#ifndef VXPATCH_DISASSEMBLERMACHO_H
#define VXPATCH_DISASSEMBLERMACHO_H

#include <cstdint>
#include <vector>

#include "disassembler.h"
#include "intervalindex.h"

namespace vxpatch {

class DisassembledProgram;

// A segment of a Mach-O image; vmaddr is rebased so that rvas start at 0.
struct MachoSegment {
    uint64_t vmaddr;
    uint32_t vmsize;
    uint32_t fileoff;
    uint32_t filesize;
};

// A pure-instruction section of a Mach-O image; addr is rebased like the segments.
struct MachoSection {
    uint64_t addr;
    uint32_t size;
    uint32_t offset;
};

// Thin little-endian Mach-O images for 32-bit x86 (MACHO_X86) and x86-64
// (MACHO_X64). Only relative branch and RIP-relative fields of the
// pure-instruction sections become labels; everything else is copied byte by
// byte. Borrows the image buffer; one thread at a time.
class DisassemblerMacho : public Disassembler {
public:
    DisassemblerMacho(const uint8_t* start, uint32_t length);
    ~DisassemblerMacho() override;

    ExecutableType executableType() const override;
    bool ParseHeader() override;
    bool Disassemble(DisassembledProgram* program) override;

    // File offset of an rva, or all ones when no segment holds it in its file part.
    uint32_t RVAToFileOffset(uint32_t rva) const;

private:
    bool ParseSegment(const uint8_t* command, uint32_t cmdsize);
    bool ParseSegment64(const uint8_t* command, uint32_t cmdsize);
    void BuildIndexes();
    uint32_t FileOffsetToRva(uint32_t offset) const;
    bool TargetInSegment(uint32_t target) const;
    void ScanSection(const MachoSection& section);
    bool WalkFile(DisassembledProgram* program);
    bool WalkRegion(uint32_t regionStart, uint32_t size, DisassembledProgram* program);

    std::vector<uint32_t> rel32Rvas;
    std::vector<MachoSegment> segments;
    std::vector<MachoSection> sections;
    uint32_t kind = 0;
    uint32_t extent = 0;

    // Built before disassembling: segments by file offset (first in
    // load-command order) and by rebased address.
    IntervalIndex fileIndex_;
    IntervalIndex memoryIndex_;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERMACHO_H
