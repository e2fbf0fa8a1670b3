// Detecting and disassembling any buffer as an executable, and encoding what
// disassembles, never crashes, leaks or reads outside the input; detection
// and disassembly agree on what they recognise.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "patchstatus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0xFFFFFFFFu)
        return 0;
    const uint32_t length = uint32_t(size);
    vxpatch::ExecutableType type = vxpatch::EXE_UNKNOWN;
    uint32_t detected = 0;
    const int detection = vxpatch::DetectExecutable(data, length, &type, &detected);
    if ((detection != vxpatch::PATCH_OK && detection != vxpatch::PATCH_EXECUTABLE_NOT_RECOGNISED) || detected > length)
        __builtin_trap();

    vxpatch::DisassembledProgram* program = nullptr;
    const int status = vxpatch::DisassembleExecutable(data, length, &program);
    if ((status == vxpatch::PATCH_EXECUTABLE_NOT_RECOGNISED) != (detection == vxpatch::PATCH_EXECUTABLE_NOT_RECOGNISED))
        __builtin_trap();
    if (status != vxpatch::PATCH_OK) {
        if (program || (status != vxpatch::PATCH_EXECUTABLE_NOT_RECOGNISED && status != vxpatch::PATCH_DISASSEMBLY_FAILED))
            __builtin_trap();
        return 0;
    }
    if (program->kind() != type)
        __builtin_trap();
    vxpatch::EncodedProgram* encoded = nullptr;
    if (program->TrimLabelsStatus() == vxpatch::PATCH_OK)
        program->EncodeStatus(&encoded);
    vxpatch::DestroyEncodedProgram(encoded);
    vxpatch::DeleteDisassembledProgram(program);
    return 0;
}
