#ifndef VXPATCH_DISASSEMBLEDPROGRAM_H
#define VXPATCH_DISASSEMBLEDPROGRAM_H

#include <cstdint>
#include <map>
#include <vector>

#include "growablebuffer.h"
#include "encodedprogram.h"
#include "executabletype.h"
#include "label.h"
#include "labeltable.h"
#include "objectarena.h"

namespace vxpatch {

class EncodedProgram;

// Kind of an instruction, kept in the low 4 bits of its first word.
enum InsnKind : uint32_t {
    INSN_ORIGIN = 0,
    INSN_PE_RELOCS = 1,
    INSN_ELF_RELOCS = 2,
    INSN_BYTE = 3,
    INSN_REL32 = 4,
    INSN_ABS32 = 5,
    INSN_ARM_BRANCH = 6,
    INSN_ELF_ARM_RELOCS = 7,
    INSN_BYTES = 8,
};

// One instruction of a disassembled program. The relocation-table kinds
// carry nothing more; INSN_BYTE keeps its byte in bits 4 to 11 of `word`.
struct Insn {
    explicit Insn(uint32_t kindWord) : word(kindWord) {}

    InsnKind kind() const { return InsnKind(word & 0xF); }
    uint8_t byteValue() const { return uint8_t(word >> 4); }

    uint32_t word;
};

struct OriginInsn : Insn {
    explicit OriginInsn(uint32_t originRva) : Insn(INSN_ORIGIN), rva(originRva) {}
    uint32_t rva;
};

// INSN_REL32 and INSN_ABS32.
struct LabelInsn : Insn {
    LabelInsn(InsnKind kind, Label* target) : Insn(kind), label(target) {}
    Label* label;
};

// A branch whose own bytes stay in the caller's image buffer.
struct ArmBranchInsn : Insn {
    ArmBranchInsn(uint16_t compressedOp, Label* target, const uint8_t* opBytes, uint16_t opSize)
        : Insn(INSN_ARM_BRANCH), label(target), cop(compressedOp), bytes(opBytes), size(opSize)
    {
    }
    Label* label;
    uint16_t cop;
    const uint8_t* bytes;
    uint16_t size;
};

// A run of raw bytes inside the caller's image buffer.
struct BytesInsn : Insn {
    BytesInsn(const uint8_t* data, uint32_t dataLength)
        : Insn(INSN_BYTES), bytes(data), length(dataLength)
    {
    }
    const uint8_t* bytes;
    uint32_t length;
};

// The executable-aware view of one image: a flat instruction list that
// reproduces the image byte for byte when played back, plus the targets of
// its absolute and relative references. A disassembler fills it and numbers
// the labels; it is then trimmed and turned into an EncodedProgram. The
// program owns its instructions and labels; raw-byte and branch instructions
// point into the caller's image buffer, which must outlive the program. Used
// by one thread at a time; allocation never throws (appenders return false).
class DisassembledProgram {
public:
    using LabelMap = LabelTable::Map;

    explicit DisassembledProgram(ExecutableType kind);
    ~DisassembledProgram();
    DisassembledProgram(const DisassembledProgram&) = delete;
    DisassembledProgram& operator=(const DisassembledProgram&) = delete;

    ExecutableType kind() const { return kind_; }
    uint64_t imageBase() const { return imageBase_; }
    void setImageBase(uint64_t base) { imageBase_ = base; }

    // From now on the instructions go straight into the encoded program instead of the
    // instruction list, which then stays empty; ToEncodedProgram hands that program over. The
    // result is the same as trimming and encoding the list. Call before the first instruction.
    // `imageLength` bounds the literal bytes, whose room is taken at once. An ELF_32_ARM
    // program is walked twice: a first walk only counts the targets of its branches (see
    // CountingBranchTargets), so that the second knows which branches trimming turns into raw
    // bytes.
    bool EncodeDirectly(uint32_t imageLength);
    // True during the first of the two walks of an ARM program encoded directly: instructions
    // are passed over, only the targets of AddArmBranchAt are noted.
    bool CountingBranchTargets() const { return countingBranches_; }
    // Ends the first walk: from the noted targets, decides which branches keep a label and
    // what index each label has. False when memory runs out.
    bool FinishCountingBranchTargets();

    bool AddOrigin(uint32_t rva);
    bool AddPeRelocTable();
    bool AddElfRelocTable();
    bool AddElfArmRelocTable();
    bool AddByte(uint8_t byte);
    bool AddBytes(const uint8_t* bytes, uint32_t length);
    bool AddRel32(Label* label);
    // AddRel32(Rel32LabelAt(rva)); when encoding directly, no label is made: the targets are
    // numbered once the program is encoded. The two are not mixed in one program.
    bool AddRel32At(uint32_t rva);
    bool EncodingDirectly() const { return direct_ != nullptr; }
    // When encoding directly: AddRel32At for each site in turn, each followed by AddBytes of the
    // image bytes up to the next site's field (see EncodedProgram::PushRel32Runs).
    bool AddRel32Runs(const uint8_t* image, uint64_t imageLength, const Rel32SiteRecord* sites,
                      uint32_t count);
    bool AddAbs32(Label* label);
    bool AddArmBranch(uint16_t cop, Label* label, const uint8_t* bytes, uint16_t size);
    // AddArmBranch(cop, Rel32LabelAt(targetRva), bytes, size); when encoding directly, no label
    // is made, and a branch whose target trimming drops goes in as its raw bytes.
    bool AddArmBranchAt(uint16_t cop, uint32_t targetRva, const uint8_t* bytes, uint16_t size);

    // Find-or-make: counts one more reference; null when no label can be made.
    Label* Rel32LabelAt(uint32_t rva);
    Label* Abs32LabelAt(uint32_t rva);
    // A hint that Rel32LabelAt(rva) comes soon; changes nothing.
    void PrefetchRel32Label(uint32_t rva) const { rel32Labels_.Prefetch(rva); }

    // Gives each map's labels the indexes 0, 1, 2, ... in ascending rva order.
    void NumberLabels();

    // The encoded form, owned by the caller; null on failure.
    EncodedProgram* ToEncodedProgram();

    // For ARM programs, turns branches to rarely used targets into raw bytes
    // and drops those targets. Other kinds are left unchanged.
    bool TrimLabels();
    // 1 on success, else 28.
    uint32_t TrimLabelsStatus();
    // Sets *out to null, then to the new program: 1, or 2 when encoding fails.
    uint32_t EncodeStatus(EncodedProgram** out);

    uint32_t insnCount() const { return insns_.size(); }
    const Insn* insnAt(uint32_t i) const { return insns_.data()[i]; }
    // Ordered views of the labels, made on demand.
    const LabelMap& rel32Labels() const { return rel32Labels_.AsMap(); }
    const LabelMap& abs32Labels() const { return abs32Labels_.AsMap(); }

private:
    bool AppendLabelled(Insn* insn, Label* label);
    bool MakeByteCache();
    Label* FindOrMake(LabelTable& labels, uint32_t rva);
    bool EncodeInsn(const Insn* insn, EncodedProgram& encoded) const;
    bool Direct(bool pushed);
    bool DirectLabelled(const Label* label);
    bool SetDirectArmTargets(EncodedProgram* encoded) const;
    EncodedProgram* FinishDirectEncoding();

    ExecutableType kind_;
    // Holds every instruction and label; released with the program, so labels dropped by
    // TrimLabels stay valid for instructions that still point at them.
    ObjectArena arena_;
    Insn** byteInsns_ = nullptr;
    uint64_t imageBase_ = 0;
    GrowableBuffer<Insn*> insns_;
    LabelTable rel32Labels_;
    LabelTable abs32Labels_;
    // The program being encoded directly, if so; its label operands are label serials until
    // FinishDirectEncoding turns them into indexes.
    EncodedProgram* direct_ = nullptr;
    bool directFailed_ = false;
    // The direct program's relative operands are target rvas instead of label serials.
    bool rel32ByTarget_ = false;
    // ARM branches encoded directly: the first walk notes each branch's target in `armBranches_`;
    // FinishCountingBranchTargets turns each into its label's index, or kTrimmedBranch, and
    // leaves in `armTargets_` the targets in ascending order, each flagged in `armKept_` when
    // its label stays. The second walk takes the entries in turn.
    static constexpr uint32_t kTrimmedBranch = 0xFFFFFFFFu;
    bool countingBranches_ = false;
    GrowableBuffer<uint32_t> armBranches_;
    GrowableBuffer<uint32_t> armTargets_;
    std::vector<uint8_t> armKept_;
    uint32_t nextArmBranch_ = 0;
};

} // namespace vxpatch

#endif // VXPATCH_DISASSEMBLEDPROGRAM_H
