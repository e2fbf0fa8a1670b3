#include "disassembledprogram.h"

#include <new>
#include <string>
#include <vector>

#include "encodedprogram.h"
#include "log.h"
#include "patchstatus.h"

namespace vxpatch {

namespace {

// An ARM branch target with at most this many references is not worth a
// label: its branches are kept as raw bytes.
constexpr uint32_t kTrimThreshold = 5;

void ReportUnreachable(const std::string& detail = std::string())
{
    log("REACHED UNREACHABLE" + detail, LogLevel_ERROR, "", 0);
}

// Appends an instruction made in the arena; null (no memory) fails the append.
bool AppendMade(GrowableBuffer<Insn*>& insns, Insn* insn)
{
    return insn && insns.PushBack(insn);
}

void Number(LabelTable& labels)
{
    // Sorting needs memory; without it no label gets an index and the encoding fails later.
    const std::vector<Label*>* sorted = labels.Sorted();
    if (!sorted)
        return;
    int32_t next = 0;
    for (Label* label : *sorted) {
        if (label->index != -1)
            ReportUnreachable();
        label->index = next++;
    }
}

} // namespace

DisassembledProgram::DisassembledProgram(ExecutableType kind) : kind_(kind) {}

DisassembledProgram::~DisassembledProgram()
{
    delete[] byteInsns_;
    DestroyEncodedProgram(direct_);
}

bool DisassembledProgram::EncodeDirectly(uint32_t imageLength)
{
    if (direct_ || insns_.size() != 0)
        return false;
    countingBranches_ = kind_ == EXE_ELF_32_ARM;
    direct_ = new (std::nothrow) EncodedProgram;
    // Growing by doubling would copy the bytes and hold two buffers at once; untouched room
    // costs no memory.
    if (direct_ && !direct_->copy_bytes.Reserve(imageLength)) {
        DestroyEncodedProgram(direct_);
        direct_ = nullptr;
    }
    return direct_ != nullptr;
}

bool DisassembledProgram::Direct(bool pushed)
{
    directFailed_ = directFailed_ || !pushed;
    return pushed;
}

bool DisassembledProgram::AppendLabelled(Insn* insn, Label* label)
{
    if (!label) {
        ReportUnreachable();
        return false;
    }
    return AppendMade(insns_, insn);
}

bool DisassembledProgram::AddOrigin(uint32_t rva)
{
    if (direct_)
        return countingBranches_ || Direct(direct_->PushOrigin(rva));
    return AppendMade(insns_, arena_.Make<OriginInsn>(rva));
}

bool DisassembledProgram::AddPeRelocTable()
{
    if (direct_)
        return countingBranches_ || Direct(direct_->PushPeRelocTable(kind_));
    return AppendMade(insns_, arena_.Make<Insn>(INSN_PE_RELOCS));
}

bool DisassembledProgram::AddElfRelocTable()
{
    if (direct_)
        return countingBranches_ || Direct(direct_->PushElfRelocTable());
    return AppendMade(insns_, arena_.Make<Insn>(INSN_ELF_RELOCS));
}

bool DisassembledProgram::AddElfArmRelocTable()
{
    if (direct_)
        return countingBranches_ || Direct(direct_->PushElfArmRelocTable());
    return AppendMade(insns_, arena_.Make<Insn>(INSN_ELF_ARM_RELOCS));
}

bool DisassembledProgram::MakeByteCache()
{
    Insn** cache = new (std::nothrow) Insn*[256];
    if (!cache)
        return false;
    for (uint32_t b = 0; b < 256; ++b) {
        cache[b] = arena_.Make<Insn>((b << 4) | INSN_BYTE);
        if (!cache[b]) {
            delete[] cache;
            return false;
        }
    }
    byteInsns_ = cache;
    return true;
}

bool DisassembledProgram::AddByte(uint8_t byte)
{
    if (direct_)
        return countingBranches_ || Direct(direct_->PushCopy(1, &byte));
    if (!byteInsns_ && !MakeByteCache())
        return false;
    return insns_.PushBack(byteInsns_[byte]);
}

bool DisassembledProgram::AddBytes(const uint8_t* bytes, uint32_t length)
{
    if (direct_)
        return countingBranches_ || Direct(direct_->PushCopy(length, bytes));
    return AppendMade(insns_, arena_.Make<BytesInsn>(bytes, length));
}

bool DisassembledProgram::AddRel32(Label* label)
{
    if (direct_)
        return DirectLabelled(label) && (countingBranches_ || Direct(direct_->PushRel32(label->serial)));
    Insn* insn = arena_.Make<LabelInsn>(INSN_REL32, label);
    return insn && AppendLabelled(insn, label);
}

bool DisassembledProgram::AddRel32At(uint32_t rva)
{
    if (!direct_)
        return AddRel32(Rel32LabelAt(rva));
    rel32ByTarget_ = true;
    return countingBranches_ || Direct(direct_->PushRel32(rva));
}

bool DisassembledProgram::AddRel32Runs(const uint8_t* image, uint64_t imageLength,
                                       const Rel32SiteRecord* sites, uint32_t count)
{
    if (!direct_)
        return false;
    rel32ByTarget_ = true;
    return countingBranches_ || Direct(direct_->PushRel32Runs(image, imageLength, sites, count));
}

bool DisassembledProgram::AddAbs32(Label* label)
{
    if (direct_)
        return DirectLabelled(label) && (countingBranches_ || Direct(direct_->PushAbs32(label->serial)));
    Insn* insn = arena_.Make<LabelInsn>(INSN_ABS32, label);
    return insn && AppendLabelled(insn, label);
}

bool DisassembledProgram::AddArmBranch(uint16_t cop, Label* label, const uint8_t* bytes,
                                       uint16_t size)
{
    if (direct_)
        return DirectLabelled(label)
            && (countingBranches_ || Direct(direct_->PushArmBranch(cop, label->serial)));
    Insn* insn = arena_.Make<ArmBranchInsn>(cop, label, bytes, size);
    return insn && AppendLabelled(insn, label);
}

bool DisassembledProgram::AddArmBranchAt(uint16_t cop, uint32_t targetRva, const uint8_t* bytes,
                                         uint16_t size)
{
    if (!direct_)
        return AddArmBranch(cop, Rel32LabelAt(targetRva), bytes, size);
    if (countingBranches_)
        return Direct(armBranches_.PushBack(targetRva));
    // The second walk meets the branches of the first, in the same order.
    if (nextArmBranch_ >= armBranches_.size())
        return Direct(false);
    const uint32_t index = armBranches_[nextArmBranch_++];
    if (index != kTrimmedBranch)
        return Direct(direct_->PushArmBranch(cop, index));
    // As TrimLabels turns the branch into raw bytes.
    return Direct(size != 0 && direct_->PushCopy(size, bytes));
}

// The labels the instruction list would have: one per distinct target, numbered in ascending
// order, each counting the branches to it; trimming then drops those with few references.
bool DisassembledProgram::FinishCountingBranchTargets()
{
    countingBranches_ = false;
    if (directFailed_ || !direct_ || !IndexTargets(&armBranches_, &armTargets_))
        return Direct(false);
    std::vector<uint32_t> counts;
    try {
        counts.assign(armTargets_.size(), 0);
    } catch (const std::bad_alloc&) {
        return Direct(false);
    }
    for (uint32_t i = 0; i < armBranches_.size(); ++i)
        ++counts[armBranches_[i]];
    for (uint32_t i = 0; i < armBranches_.size(); ++i) {
        if (counts[armBranches_[i]] <= kTrimThreshold)
            armBranches_[i] = kTrimmedBranch;
    }
    try {
        armKept_.resize(armTargets_.size());
    } catch (const std::bad_alloc&) {
        return Direct(false);
    }
    for (uint32_t i = 0; i < armTargets_.size(); ++i)
        armKept_[i] = counts[i] > kTrimThreshold;
    return true;
}

Label* DisassembledProgram::FindOrMake(LabelTable& labels, uint32_t rva)
{
    Label* label = labels.FindOrMake(rva, arena_);
    if (label)
        ++label->count;
    return label;
}

Label* DisassembledProgram::Rel32LabelAt(uint32_t rva)
{
    return FindOrMake(rel32Labels_, rva);
}

Label* DisassembledProgram::Abs32LabelAt(uint32_t rva)
{
    return FindOrMake(abs32Labels_, rva);
}

void DisassembledProgram::NumberLabels()
{
    Number(abs32Labels_);
    Number(rel32Labels_);
}

bool DisassembledProgram::EncodeInsn(const Insn* insn, EncodedProgram& encoded) const
{
    switch (insn->kind()) {
    case INSN_ORIGIN:
        return encoded.PushOrigin(static_cast<const OriginInsn*>(insn)->rva);
    case INSN_PE_RELOCS:
        return encoded.PushPeRelocTable(kind_);
    case INSN_ELF_RELOCS:
        return encoded.PushElfRelocTable();
    case INSN_BYTE: {
        const uint8_t byte = insn->byteValue();
        return encoded.PushCopy(1, &byte);
    }
    case INSN_REL32:
        return encoded.PushRel32(uint32_t(static_cast<const LabelInsn*>(insn)->label->index));
    case INSN_ABS32:
        return encoded.PushAbs32(uint32_t(static_cast<const LabelInsn*>(insn)->label->index));
    case INSN_ARM_BRANCH: {
        const auto* branch = static_cast<const ArmBranchInsn*>(insn);
        return encoded.PushArmBranch(branch->cop, uint32_t(branch->label->index));
    }
    case INSN_ELF_ARM_RELOCS:
        return encoded.PushElfArmRelocTable();
    case INSN_BYTES: {
        const auto* bytes = static_cast<const BytesInsn*>(insn);
        return encoded.PushCopy(bytes->length, bytes->bytes);
    }
    }
    ReportUnreachable("Unknown Insn OP kind");
    return true;
}

bool DisassembledProgram::DirectLabelled(const Label* label)
{
    if (!label)
        ReportUnreachable();
    return label != nullptr;
}

// The targets of the ARM branch labels that trimming keeps, at their indexes.
bool DisassembledProgram::SetDirectArmTargets(EncodedProgram* encoded) const
{
    for (uint32_t i = 0; i < armTargets_.size(); ++i) {
        if (armKept_[i] && !encoded->SetRel32Target(i, armTargets_[i]))
            return false;
    }
    return true;
}

// Label operands were written as serials, in the order the labels were made; each becomes the
// label's index, and the targets are set as ToEncodedProgram sets them.
EncodedProgram* DisassembledProgram::FinishDirectEncoding()
{
    EncodedProgram* encoded = direct_;
    direct_ = nullptr;
    const std::vector<Label*>* abs32 = abs32Labels_.Sorted();
    const std::vector<Label*>* rel32 = rel32Labels_.Sorted();
    std::vector<uint32_t> abs32Index;
    std::vector<uint32_t> rel32Index;
    try {
        abs32Index.resize(abs32Labels_.size());
        rel32Index.resize(rel32Labels_.size());
    } catch (const std::bad_alloc&) {
        directFailed_ = true;
    }
    // Operands of both forms in one table cannot be told apart.
    const bool mixed = (rel32ByTarget_ || armTargets_.size() != 0) && rel32Labels_.size() != 0;
    const bool armLeft = countingBranches_ || nextArmBranch_ != armBranches_.size();
    if (directFailed_ || !abs32 || !rel32 || mixed || armLeft) {
        DestroyEncodedProgram(encoded);
        return nullptr;
    }
    encoded->image_base = imageBase_;
    bool ok = true;
    for (const Label* label : *abs32) {
        abs32Index[label->serial] = uint32_t(label->index);
        ok = ok && encoded->SetAbs32Target(uint32_t(label->index), label->rva);
    }
    for (const Label* label : *rel32) {
        rel32Index[label->serial] = uint32_t(label->index);
        ok = ok && encoded->SetRel32Target(uint32_t(label->index), label->rva);
    }
    if (rel32ByTarget_)
        ok = ok && IndexTargets(&encoded->rel32_ix, &encoded->rel32_rvas);
    ok = ok && SetDirectArmTargets(encoded) && encoded->FinishTargets();
    if (!ok) {
        DestroyEncodedProgram(encoded);
        return nullptr;
    }
    for (uint32_t i = 0; i < encoded->abs32_ix.size(); ++i)
        encoded->abs32_ix[i] = abs32Index[encoded->abs32_ix[i]];
    // Operands of branches are indexes already.
    const bool rel32BySerial = !rel32ByTarget_ && armBranches_.size() == 0;
    for (uint32_t i = 0; rel32BySerial && i < encoded->rel32_ix.size(); ++i)
        encoded->rel32_ix[i] = rel32Index[encoded->rel32_ix[i]];
    return encoded;
}

EncodedProgram* DisassembledProgram::ToEncodedProgram()
{
    if (direct_)
        return FinishDirectEncoding();
    const std::vector<Label*>* abs32 = abs32Labels_.Sorted();
    const std::vector<Label*>* rel32 = rel32Labels_.Sorted();
    if (!abs32 || !rel32)
        return nullptr;
    EncodedProgram* encoded = new (std::nothrow) EncodedProgram;
    if (!encoded)
        return nullptr;
    encoded->image_base = imageBase_;
    bool ok = true;
    for (const Label* label : *abs32)
        ok = ok && encoded->SetAbs32Target(uint32_t(label->index), label->rva);
    for (const Label* label : *rel32)
        ok = ok && encoded->SetRel32Target(uint32_t(label->index), label->rva);
    ok = ok && encoded->FinishTargets();
    for (uint32_t i = 0; ok && i < insns_.size(); ++i)
        ok = EncodeInsn(insns_.data()[i], *encoded);
    if (!ok) {
        DestroyEncodedProgram(encoded);
        return nullptr;
    }
    return encoded;
}

bool DisassembledProgram::TrimLabels()
{
    if (kind_ != EXE_ELF_32_ARM)
        return true;
    log("TrimLabels: threshold " + std::to_string(kTrimThreshold), LogLevel_DEBUG, "", 0);
    if (!rel32Labels_.RemoveRarelyUsed(kTrimThreshold))
        return false;

    for (uint32_t i = 0; i < insns_.size(); ++i) {
        Insn* insn = insns_.data()[i];
        if (insn->kind() != INSN_ARM_BRANCH)
            continue;
        auto* branch = static_cast<ArmBranchInsn*>(insn);
        if (branch->label->count > kTrimThreshold)
            continue;
        if (branch->size == 0)
            return false;
        Insn* bytes = arena_.Make<BytesInsn>(branch->bytes, branch->size);
        if (!bytes)
            return false;
        insns_.data()[i] = bytes;
    }
    return true;
}

uint32_t DisassembledProgram::TrimLabelsStatus()
{
    return TrimLabels() ? PATCH_OK : PATCH_TRIM_LABELS_FAILED;
}

uint32_t DisassembledProgram::EncodeStatus(EncodedProgram** out)
{
    *out = nullptr;
    EncodedProgram* encoded = ToEncodedProgram();
    if (!encoded)
        return PATCH_GENERAL_FAILURE;
    *out = encoded;
    return PATCH_OK;
}

} // namespace vxpatch
