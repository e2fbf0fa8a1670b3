#include "executabletype.h"

namespace vxpatch {

const char* ExecutableTypeName(uint32_t type)
{
    static const char* const kNames[] = {
        "UNKNOWN",    "WIN_32_X86", "EXE_ELF_32_X86", "ELF_32_ARM",
        "WIN_32_X64", "ELF_64_X64", "MACHO_X86",      "MACHO_X64",
    };
    return type < sizeof(kNames) / sizeof(kNames[0]) ? kNames[type] : "UNKNOWN";
}

} // namespace vxpatch
