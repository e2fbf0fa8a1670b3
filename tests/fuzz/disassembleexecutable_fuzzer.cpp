// Detecting and disassembling any buffer as an executable, and encoding what
// disassembles, never crashes, leaks or reads outside the input; detection
// and disassembly agree on what they recognise; encoding while disassembling
// gives the program that encoding the instruction list gives.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "bytesink.h"
#include "bytesinkset.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "patchstatus.h"

namespace {

// The serialised form of an encoded program, taken over; empty when there is none.
std::vector<uint8_t> Serialised(vxpatch::EncodedProgram* encoded)
{
    vxpatch::ByteSinkSet sinks;
    vxpatch::ByteSink bytes;
    const bool written = encoded && vxpatch::EncodedProgramToSet(encoded, &sinks) == vxpatch::PATCH_OK
        && sinks.CopyTo(&bytes);
    vxpatch::DestroyEncodedProgram(encoded);
    return written ? std::vector<uint8_t>(bytes.data(), bytes.data() + bytes.size())
                   : std::vector<uint8_t>();
}

// What the apply path makes of the same input.
std::vector<uint8_t> EncodedDirectly(const uint8_t* data, uint32_t length)
{
    vxpatch::DisassembledProgram* program = nullptr;
    if (vxpatch::DisassembleExecutable(data, length, &program, true) != vxpatch::PATCH_OK)
        __builtin_trap();
    vxpatch::EncodedProgram* encoded = nullptr;
    if (program->TrimLabelsStatus() == vxpatch::PATCH_OK)
        program->EncodeStatus(&encoded);
    vxpatch::DeleteDisassembledProgram(program);
    return Serialised(encoded);
}

} // namespace

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
    vxpatch::DeleteDisassembledProgram(program);
    const std::vector<uint8_t> listed = Serialised(encoded);
    if (!listed.empty() && EncodedDirectly(data, length) != listed)
        __builtin_trap();
    return 0;
}
