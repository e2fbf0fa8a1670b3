#ifndef VXTEST_ASSEMBLEIMAGE_H
#define VXTEST_ASSEMBLEIMAGE_H

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesourceset.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"
#include "patchstatus.h"

#include <cstdint>
#include <vector>

namespace vxtest {

// Trims, encodes and serialises a disassembled program the way a patch does; nothing when a
// step fails. Releases the program.
inline std::vector<uint8_t> SerialiseProgram(vxpatch::DisassembledProgram* program)
{
    using namespace vxpatch;
    EncodedProgram* encoded = nullptr;
    const bool encodedOk = program->TrimLabelsStatus() == PATCH_OK && program->EncodeStatus(&encoded) == PATCH_OK;
    DeleteDisassembledProgram(program);
    if (!encodedOk)
        return {};
    ByteSinkSet sinks;
    ByteSink serialised;
    const bool written = EncodedProgramToSet(encoded, &sinks) == PATCH_OK && sinks.CopyTo(&serialised);
    DestroyEncodedProgram(encoded);
    if (!written)
        return {};
    return std::vector<uint8_t>(serialised.data(), serialised.data() + serialised.size());
}

// Takes a disassembled program the way a patch does: trims, encodes,
// serialises, parses back and assembles. Returns the assembled bytes, or
// nothing when a step fails. Releases the program.
inline std::vector<uint8_t> AssembleProgram(vxpatch::DisassembledProgram* program)
{
    using namespace vxpatch;
    const std::vector<uint8_t> serialised = SerialiseProgram(program);
    ByteSourceSet sources;
    if (serialised.empty() || !sources.Init(serialised.data(), serialised.size()))
        return {};
    EncodedProgram* parsed = nullptr;
    if (EncodedProgramFromSet(&sources, &parsed) != PATCH_OK)
        return {};
    ByteSink assembled;
    const bool ok = AssembleEncodedProgram(parsed, &assembled) == PATCH_OK;
    DestroyEncodedProgram(parsed);
    if (!ok)
        return {};
    return std::vector<uint8_t>(assembled.data(), assembled.data() + assembled.size());
}

} // namespace vxtest

#endif // VXTEST_ASSEMBLEIMAGE_H
