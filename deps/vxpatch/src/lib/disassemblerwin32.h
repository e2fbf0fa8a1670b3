#ifndef VXPATCH_DISASSEMBLERWIN32_H
#define VXPATCH_DISASSEMBLERWIN32_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "disassembler.h"
#include "intervalindex.h"

namespace vxpatch {

class DisassembledProgram;

// Common part of the PE32 and PE32+ disassemblers: the header check, the base
// relocations as absolute locations, the scan of ".text" for relative fields
// and the walk of the file into a DisassembledProgram. The two variants differ
// only in the image kind they accept and the forms they take, chosen by
// `x64Target`. Structures are read in place from the borrowed image buffer;
// one thread at a time.
class DisassemblerWin32 : public Disassembler {
public:
    ~DisassemblerWin32() override;

    bool ParseHeader() override;
    bool Disassemble(DisassembledProgram* program) override;

protected:
    DisassemblerWin32(const uint8_t* start, uint32_t length, bool x64Target);

private:
    struct DataDirectory {
        uint32_t rva = 0;
        uint32_t size = 0;
    };

    bool ReadDataDirectory(uint32_t index, DataDirectory* directory);
    const uint8_t* SectionHeader(uint32_t i) const { return sectionTable_ + size_t(i) * 40; }
    uint32_t VirtualSize(uint32_t i) const;
    uint32_t VirtualAddress(uint32_t i) const;
    uint32_t SizeOfRawData(uint32_t i) const;
    uint32_t PointerToRawData(uint32_t i) const;
    bool IsTextSection(uint32_t i) const;

    bool RvaToFileOffset(uint32_t rva, uint32_t* offset) const;
    uint32_t FileOffsetToRva(uint32_t offset) const;
    // Section with raw data starting first at or after `position`; -1 when none.
    int NextSection(uint32_t position) const;
    bool RawDataInsideBuffer() const;
    void BuildIndexes();

    bool ParseRelocs();
    void ScanSectionForRel32(uint32_t section);
    bool WalkFile(DisassembledProgram* program);
    bool WalkRegion(uint32_t section, DisassembledProgram* program);

    const bool x64Target_;
    bool is64_ = false;
    uint16_t machine_ = 0;
    uint16_t sectionCount_ = 0;
    uint16_t sizeOfOptionalHeader_ = 0;
    const uint8_t* optionalHeader_ = nullptr;
    const uint8_t* sectionTable_ = nullptr;
    bool hasText_ = false;

    uint32_t sizeOfCode_ = 0;
    uint32_t sizeOfInitializedData_ = 0;
    uint32_t sizeOfUninitializedData_ = 0;
    uint32_t baseOfCode_ = 0;
    uint32_t baseOfData_ = 0;
    uint64_t imageBase_ = 0;
    uint32_t sizeOfImage_ = 0;
    uint32_t numberOfRvaAndSizes_ = 0;

    DataDirectory exportTable_;
    DataDirectory importTable_;
    DataDirectory resourceTable_;
    DataDirectory exceptionTable_;
    DataDirectory baseRelocationTable_;
    DataDirectory boundImportTable_;
    DataDirectory importAddressTable_;
    DataDirectory delayImportDescriptor_;
    DataDirectory runtimeHeader_;

    std::vector<uint32_t> abs32Rvas;
    std::vector<uint32_t> rel32Rvas;

    // Built before disassembling: sections with raw data in file order and by offset.
    std::vector<uint32_t> rawOrder_;
    IntervalIndex rawIndex_;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLERWIN32_H
