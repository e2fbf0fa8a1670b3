// Parsing any stream set as an encoded program, and assembling what parses,
// never crashes, leaks or reads outside the input.
#include <cstddef>
#include <cstdint>

#include "bytesink.h"
#include "bytesourceset.h"
#include "encodedprogram.h"
#include "patchstatus.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vxpatch::ByteSourceSet set;
    if (!set.Init(data, size))
        return 0;
    vxpatch::EncodedProgram* program = nullptr;
    const uint32_t parsed = vxpatch::EncodedProgramFromSet(&set, &program);
    if (parsed != vxpatch::PATCH_OK) {
        if (parsed != vxpatch::PATCH_BAD_ENCODED_PROGRAM || program)
            __builtin_trap();
        return 0;
    }
    vxpatch::ByteSink sink;
    const uint32_t assembled = vxpatch::AssembleEncodedProgram(program, &sink);
    if (assembled != vxpatch::PATCH_OK && assembled != vxpatch::PATCH_ASSEMBLY_FAILED)
        __builtin_trap();
    vxpatch::DestroyEncodedProgram(program);
    return 0;
}
