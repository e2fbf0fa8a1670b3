#ifndef VXPATCH_DISASSEMBLER_H
#define VXPATCH_DISASSEMBLER_H

#include "executabletype.h"

#include <cstdint>

namespace vxpatch {

class DisassembledProgram;

// Common base of the executable disassemblers. It borrows the caller's buffer, which must
// outlive the disassembler and the program it fills. `ParseHeader` ends with `Accept` or
// `Reject`, so `reason()` holds the last rejection (null once the header is accepted) and
// `Disassemble` refuses to run before that. One thread at a time.
class Disassembler {
public:
    virtual ~Disassembler() = default;
    Disassembler(const Disassembler&) = delete;
    Disassembler& operator=(const Disassembler&) = delete;

    virtual ExecutableType executableType() const { return EXE_UNKNOWN; }
    // Checks the image's header; may clip length() to the executable it describes.
    virtual bool ParseHeader() = 0;
    virtual bool Disassemble(DisassembledProgram* program) = 0;

    const char* reason() const { return reason_; }
    const uint8_t* start() const { return start_; }
    uint32_t length() const { return length_; }
    const uint8_t* end() const { return end_; }

protected:
    Disassembler(const void* start, uint32_t length);

    // No bounds check: the caller has checked offset against length().
    const uint8_t* PointerAt(uint32_t offset) const { return start_ + offset; }
    bool Accept();
    bool Reject(const char* reason);
    void ClipLength(uint32_t n);

    const char* reason_ = "uninitialized";
    const uint8_t* start_;
    uint32_t length_;
    const uint8_t* end_;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLER_H
