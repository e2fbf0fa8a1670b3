// Parsing any stream set as an encoded program never crashes, leaks or reads
// outside the input; what parses serialises and parses again to the same
// program, and both assemble to the same bytes with the same status.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesourceset.h"
#include "encodedprogram.h"
#include "patchstatus.h"

using namespace vxpatch;

namespace {

void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

template <typename T>
bool SameTable(const GrowableBuffer<T>& a, const GrowableBuffer<T>& b)
{
    return a.size() == b.size()
        && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool SamePrograms(const EncodedProgram& a, const EncodedProgram& b)
{
    return a.image_base == b.image_base && SameTable(a.abs32_rvas, b.abs32_rvas)
        && SameTable(a.rel32_rvas, b.rel32_rvas) && SameTable(a.ops, b.ops)
        && SameTable(a.origins, b.origins) && SameTable(a.copy_counts, b.copy_counts)
        && SameTable(a.copy_bytes, b.copy_bytes) && SameTable(a.abs32_ix, b.abs32_ix)
        && SameTable(a.rel32_ix, b.rel32_ix);
}

EncodedProgram* Parse(const uint8_t* data, size_t size)
{
    ByteSourceSet set;
    if (!set.Init(data, size))
        return nullptr;
    EncodedProgram* program = nullptr;
    const uint32_t status = EncodedProgramFromSet(&set, &program);
    Require(status == PATCH_OK ? program != nullptr
                               : status == PATCH_BAD_ENCODED_PROGRAM && program == nullptr);
    return program;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    EncodedProgram* program = Parse(data, size);
    if (!program)
        return 0;

    ByteSinkSet streams;
    ByteSink packed;
    Require(EncodedProgramToSet(program, &streams) == PATCH_OK);
    Require(streams.CopyTo(&packed));
    EncodedProgram* again = Parse(packed.data(), packed.size());
    Require(again && SamePrograms(*program, *again));

    ByteSink first;
    ByteSink second;
    const uint32_t status = AssembleEncodedProgram(program, &first);
    Require(status == PATCH_OK || status == PATCH_ASSEMBLY_FAILED);
    Require(AssembleEncodedProgram(again, &second) == status);
    Require(status != PATCH_OK || SameTable(first, second));

    DestroyEncodedProgram(again);
    DestroyEncodedProgram(program);
    return 0;
}
