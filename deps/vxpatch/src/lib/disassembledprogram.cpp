#include "disassembledprogram.h"

#include <new>
#include <string>

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

// Instructions are plain structs; release each through its own type.
void DestroyInsn(Insn* insn)
{
    switch (insn->kind()) {
    case INSN_ORIGIN:
        delete static_cast<OriginInsn*>(insn);
        break;
    case INSN_REL32:
    case INSN_ABS32:
        delete static_cast<LabelInsn*>(insn);
        break;
    case INSN_ARM_BRANCH:
        delete static_cast<ArmBranchInsn*>(insn);
        break;
    case INSN_BYTES:
        delete static_cast<BytesInsn*>(insn);
        break;
    default:
        delete insn;
        break;
    }
}

// Appends an owned instruction, releasing it when the list cannot take it.
bool AppendOwned(GrowableBuffer<Insn*>& insns, Insn* insn)
{
    if (!insn)
        return false;
    if (insns.PushBack(insn))
        return true;
    DestroyInsn(insn);
    return false;
}

Label* FindOrMake(DisassembledProgram::LabelMap& labels, uint32_t rva)
{
    auto found = labels.find(rva);
    Label* label = found != labels.end() ? found->second : nullptr;
    if (!label) {
        label = new (std::nothrow) Label(rva);
        if (!label)
            return nullptr;
        try {
            labels.emplace(rva, label);
        } catch (const std::bad_alloc&) {
            delete label;
            return nullptr;
        }
    }
    ++label->count;
    return label;
}

void Number(DisassembledProgram::LabelMap& labels)
{
    int32_t next = 0;
    for (auto& entry : labels) {
        if (entry.second->index != -1)
            ReportUnreachable();
        entry.second->index = next++;
    }
}

void DestroyLabels(DisassembledProgram::LabelMap& labels)
{
    for (auto& entry : labels)
        delete entry.second;
    labels.clear();
}

} // namespace

DisassembledProgram::DisassembledProgram(ExecutableType kind) : kind_(kind) {}

DisassembledProgram::~DisassembledProgram()
{
    for (uint32_t i = 0; i < insns_.size(); ++i) {
        if (insns_.data()[i]->kind() != INSN_BYTE)
            DestroyInsn(insns_.data()[i]);
    }
    if (byteInsns_) {
        for (int b = 0; b < 256; ++b)
            delete byteInsns_[b];
        delete[] byteInsns_;
    }
    DestroyLabels(rel32Labels_);
    DestroyLabels(abs32Labels_);
    for (Label* label : trimmedLabels_)
        delete label;
}

bool DisassembledProgram::AppendLabelled(Insn* insn, Label* label)
{
    if (!label) {
        ReportUnreachable();
        DestroyInsn(insn);
        return false;
    }
    return AppendOwned(insns_, insn);
}

bool DisassembledProgram::AddOrigin(uint32_t rva)
{
    return AppendOwned(insns_, new (std::nothrow) OriginInsn(rva));
}

bool DisassembledProgram::AddPeRelocTable()
{
    return AppendOwned(insns_, new (std::nothrow) Insn(INSN_PE_RELOCS));
}

bool DisassembledProgram::AddElfRelocTable()
{
    return AppendOwned(insns_, new (std::nothrow) Insn(INSN_ELF_RELOCS));
}

bool DisassembledProgram::AddElfArmRelocTable()
{
    return AppendOwned(insns_, new (std::nothrow) Insn(INSN_ELF_ARM_RELOCS));
}

bool DisassembledProgram::MakeByteCache()
{
    Insn** cache = new (std::nothrow) Insn*[256];
    if (!cache)
        return false;
    for (uint32_t b = 0; b < 256; ++b) {
        cache[b] = new (std::nothrow) Insn((b << 4) | INSN_BYTE);
        if (!cache[b]) {
            for (uint32_t made = 0; made < b; ++made)
                delete cache[made];
            delete[] cache;
            return false;
        }
    }
    byteInsns_ = cache;
    return true;
}

bool DisassembledProgram::AddByte(uint8_t byte)
{
    if (!byteInsns_ && !MakeByteCache())
        return false;
    return insns_.PushBack(byteInsns_[byte]);
}

bool DisassembledProgram::AddBytes(const uint8_t* bytes, uint32_t length)
{
    return AppendOwned(insns_, new (std::nothrow) BytesInsn(bytes, length));
}

bool DisassembledProgram::AddRel32(Label* label)
{
    Insn* insn = new (std::nothrow) LabelInsn(INSN_REL32, label);
    return insn && AppendLabelled(insn, label);
}

bool DisassembledProgram::AddAbs32(Label* label)
{
    Insn* insn = new (std::nothrow) LabelInsn(INSN_ABS32, label);
    return insn && AppendLabelled(insn, label);
}

bool DisassembledProgram::AddArmBranch(uint16_t cop, Label* label, const uint8_t* bytes,
                                       uint16_t size)
{
    Insn* insn = new (std::nothrow) ArmBranchInsn(cop, label, bytes, size);
    return insn && AppendLabelled(insn, label);
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

EncodedProgram* DisassembledProgram::ToEncodedProgram()
{
    EncodedProgram* encoded = new (std::nothrow) EncodedProgram;
    if (!encoded)
        return nullptr;
    encoded->image_base = imageBase_;
    bool ok = true;
    for (const auto& entry : abs32Labels_)
        ok = ok && encoded->SetAbs32Target(uint32_t(entry.second->index), entry.first);
    for (const auto& entry : rel32Labels_)
        ok = ok && encoded->SetRel32Target(uint32_t(entry.second->index), entry.first);
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

    size_t rare = 0;
    for (const auto& entry : rel32Labels_)
        rare += entry.second->count <= kTrimThreshold ? 1 : 0;
    try {
        trimmedLabels_.reserve(trimmedLabels_.size() + rare);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (auto it = rel32Labels_.begin(); it != rel32Labels_.end();) {
        if (it->second->count <= kTrimThreshold) {
            trimmedLabels_.push_back(it->second);
            it = rel32Labels_.erase(it);
        } else {
            ++it;
        }
    }

    for (uint32_t i = 0; i < insns_.size(); ++i) {
        Insn* insn = insns_.data()[i];
        if (insn->kind() != INSN_ARM_BRANCH)
            continue;
        auto* branch = static_cast<ArmBranchInsn*>(insn);
        if (branch->label->count > kTrimThreshold)
            continue;
        if (branch->size == 0)
            return false;
        Insn* bytes = new (std::nothrow) BytesInsn(branch->bytes, branch->size);
        if (!bytes)
            return false;
        insns_.data()[i] = bytes;
        DestroyInsn(branch);
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
