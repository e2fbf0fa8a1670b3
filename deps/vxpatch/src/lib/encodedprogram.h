#ifndef VXPATCH_ENCODEDPROGRAM_H
#define VXPATCH_ENCODEDPROGRAM_H

#include <cstdint>

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesourceset.h"
#include "growablebuffer.h"
#include "executabletype.h"

namespace vxpatch {

// Op codes of an encoded program, stored as they are in the serialised form.
enum EncodedOp : uint32_t {
    OP_SET_ORIGIN = 0,
    OP_COPY_RUN = 1,
    OP_COPY_BYTE = 2,
    OP_REL32 = 3,
    OP_ABS32 = 4,
    OP_PE_RELOCS32 = 5,
    OP_ELF_RELOCS_X86 = 6,
    OP_ELF_RELOCS_ARM = 7,
    OP_PE_RELOCS64 = 8,
    // 0x1000 to 0x5FFF: an ARM branch; (ARM kind + 1) in bits 12 to 15, the
    // instruction's fixed bits below.
    OP_ARM_BRANCH_FIRST = 0x1000,
    OP_ARM_BRANCH_LAST = 0x5FFF,
};

// A 32-bit relative field of an image: at `rva` and `file_offset`, pointing at
// rva + relative_target.
struct Rel32SiteRecord {
    uint32_t rva;
    uint32_t relative_target;
    uint32_t file_offset;
};

// The compact, diff-friendly form of one executable image: a list of ops
// plus side tables of operands. Address fields are kept as indexes into two
// tables of targets, so a change of code layout changes few serialised bytes.
// The program owns all its tables; it is used by one thread at a time and
// never throws (building calls return false when memory runs out).
class EncodedProgram {
public:
    EncodedProgram() = default;
    EncodedProgram(const EncodedProgram&) = delete;
    EncodedProgram& operator=(const EncodedProgram&) = delete;

    // Targets: the table grows to index + 1 entries when needed, new entries
    // hold 0xFFFFFFFF until FinishTargets fills them.
    bool SetAbs32Target(uint32_t index, uint32_t rva);
    bool SetRel32Target(uint32_t index, uint32_t rva);
    // Replaces every unused target by its predecessor (0 for leading ones),
    // so unused indexes serialise as deltas of 0.
    bool FinishTargets();

    bool PushOrigin(uint32_t rva);
    // Appends n literal bytes, folding consecutive copies into one run.
    bool PushCopy(uint32_t n, const uint8_t* bytes);
    bool PushRel32(uint32_t labelIndex);
    // For each site in turn, PushRel32 with the site's target rva as the operand and then
    // PushCopy of the bytes of `image` from the end of its field to the next site's field (none
    // after the last). The fields must lie in the image in ascending order without overlapping.
    // A long list is done on several threads.
    bool PushRel32Runs(const uint8_t* image, uint64_t imageLength, const Rel32SiteRecord* sites,
                       uint32_t count);
    bool PushAbs32(uint32_t labelIndex);
    bool PushArmBranch(uint16_t op, uint32_t labelIndex);
    // OP_PE_RELOCS32 for WIN_32_X86, OP_PE_RELOCS64 for any other kind.
    bool PushPeRelocTable(ExecutableType kind);
    bool PushElfRelocTable();
    bool PushElfArmRelocTable();

    uint64_t image_base = 0;
    GrowableBuffer<uint32_t> rel32_rvas;
    GrowableBuffer<uint32_t> abs32_rvas;
    GrowableBuffer<uint32_t> ops;
    GrowableBuffer<uint32_t> origins;
    GrowableBuffer<uint32_t> copy_counts;
    ByteSink copy_bytes;
    GrowableBuffer<uint32_t> rel32_ix;
    GrowableBuffer<uint32_t> abs32_ix;
    // Filled only while assembling: the address of each absolute field.
    GrowableBuffer<uint32_t> abs32_sites;

private:
    bool PushOp(uint32_t op);
};

// Serialises into streams 0 to 7 of `set`. Returns 1, or 20 when a write failed.
uint32_t EncodedProgramToSet(EncodedProgram* program, ByteSinkSet* set);

// The same, moving the literal bytes into the set instead of copying them: the program's
// copy_bytes is left empty (or, when the move cannot be made, as it was).
uint32_t EncodedProgramIntoSet(EncodedProgram* program, ByteSinkSet* set);

// Parses a program from streams 0 to 8 of `set`, which must be consumed
// exactly. Returns 1 with a new program owned by the caller in *out, or 23
// with *out untouched.
uint32_t EncodedProgramFromSet(ByteSourceSet* set, EncodedProgram** out);

// Appends the image bytes to `sink`. Returns 1, or 26 when the program cannot
// be assembled (the sink may then hold part of the output).
uint32_t AssembleEncodedProgram(EncodedProgram* program, ByteSink* sink);

// Parses a program from `set` as EncodedProgramFromSet does and appends its image bytes to
// `sink`, reading the literal bytes where they lie in the set instead of copying them: 1, 23
// when the program cannot be parsed, or 26 when it cannot be assembled.
uint32_t AssembleEncodedProgramFromSet(ByteSourceSet* set, ByteSink* sink);

// Destroys a program; null is allowed.
void DestroyEncodedProgram(EncodedProgram* program);

} // namespace vxpatch

#endif // VXPATCH_ENCODEDPROGRAM_H
