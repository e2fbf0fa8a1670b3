#ifndef VXPATCH_EXECUTABLETYPE_H
#define VXPATCH_EXECUTABLETYPE_H

#include <cstdint>

namespace vxpatch {

// Kinds of executable the patch engine can disassemble. The numbers are stored in patches and
// containers and must never change.
enum ExecutableType : uint32_t {
    EXE_UNKNOWN = 0,
    EXE_WIN_32_X86 = 1,
    EXE_ELF_32_X86 = 2,
    EXE_ELF_32_ARM = 3,
    EXE_WIN_32_X64 = 4,
    EXE_ELF_64_X64 = 5,
    EXE_MACHO_X86 = 6,
    EXE_MACHO_X64 = 7,
};

// The kind's name, such as "ELF_32_ARM"; "UNKNOWN" for any number outside the table.
const char* ExecutableTypeName(uint32_t type);

} // namespace vxpatch

#endif // VXPATCH_EXECUTABLETYPE_H
