#include "patcherx86_32.h"

#include "mappedfile.h"

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesource.h"
#include "bytesourceset.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "patchstatus.h"

namespace vxpatch {

PatcherX86_32::PatcherX86_32(const uint8_t* base, uint32_t baseLength)
    : base_(base), baseLength_(baseLength)
{
}

uint32_t PatcherX86_32::Init(ByteSource* parameters)
{
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!parameters->ReadVarint32(&offset) || !parameters->ReadVarint32(&length))
        return PATCH_BAD_ELEMENT_PARAMETERS;
    if (offset > baseLength_ || length > baseLength_ - offset)
        return PATCH_BAD_ELEMENT_PARAMETERS;
    offset_ = offset;
    length_ = length;
    return PATCH_OK;
}

uint32_t PatcherX86_32::PredictParameters(ByteSinkSet*)
{
    return PATCH_OK;
}

uint32_t PatcherX86_32::Transform(ByteSourceSet* parameters, ByteSinkSet* transformed)
{
    if (!parameters->Empty())
        return PATCH_GENERAL_FAILURE;

    DisassembledProgram* program = nullptr;
    uint32_t status = uint32_t(DisassembleExecutable(base_ + offset_, length_, &program, true));
    if (oldFile_)
        oldFile_->DropResidentPages();
    if (status != PATCH_OK)
        return status;
    status = program->TrimLabelsStatus();
    if (status != PATCH_OK) {
        DeleteDisassembledProgram(program);
        return status;
    }
    EncodedProgram* encoded = nullptr;
    status = program->EncodeStatus(&encoded);
    DeleteDisassembledProgram(program);
    if (status != PATCH_OK)
        return status;
    status = EncodedProgramIntoSet(encoded, transformed);
    DestroyEncodedProgram(encoded);
    return status;
}

uint32_t PatcherX86_32::Reassemble(ByteSourceSet* corrected, ByteSink* ensemble)
{
    return AssembleEncodedProgramFromSet(corrected, ensemble);
}

} // namespace vxpatch
