#ifndef VXPATCH_EXECUTABLEDETECTION_H
#define VXPATCH_EXECUTABLEDETECTION_H

#include <cstdint>

#include "executabletype.h"

namespace vxpatch {

class Disassembler;
class DisassembledProgram;

// Entry to executable-aware patching. The candidates are tried in a fixed
// order, PE32, PE32+, ELF x86, ELF x86-64, ELF ARM, Mach-O, and the first whose
// header check accepts the buffer wins. The buffer is borrowed and must
// outlive the disassembler and any program made from it.

// The first disassembler that accepts the buffer, owned by the caller, or null.
Disassembler* FindDisassembler(const uint8_t* start, uint32_t length);

// 1 with the kind and the length of the executable at the start of the buffer,
// or 24 with both set to 0.
int DetectExecutable(const uint8_t* start, uint32_t length, ExecutableType* type, uint32_t* detectedLength);

// 1 with a new program owned by the caller, 24 when no disassembler accepts the
// buffer, 25 when the disassembly fails; *out is null unless 1 is returned. With
// `encodeDirectly` the program is encoded as it is disassembled, trimmed as TrimLabels would
// trim it (see DisassembledProgram::EncodeDirectly).
int DisassembleExecutable(const uint8_t* start, uint32_t length, DisassembledProgram** out,
                          bool encodeDirectly = false);

// Releases a program made by DisassembleExecutable; null is allowed.
void DeleteDisassembledProgram(DisassembledProgram* program);

} // namespace vxpatch

#endif // VXPATCH_EXECUTABLEDETECTION_H
