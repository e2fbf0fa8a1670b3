#ifndef VXPATCH_PATCHSTATUS_H
#define VXPATCH_PATCHSTATUS_H

#include <cstdint>

namespace vxpatch {

// The one table of status codes of the patch engine. 1 is success; the failure numbers are
// reported to callers and must keep their values.
enum PatchStatus : uint32_t {
    PATCH_OK = 1,
    PATCH_GENERAL_FAILURE = 2,
    PATCH_CANNOT_OPEN_PATCH = 3,
    PATCH_CANNOT_OPEN_OLD_OR_WRITE_NEW = 4,
    PATCH_BAD_MAGIC = 5,
    PATCH_BAD_VERSION = 6,
    PATCH_CORRUPT_HEADER = 7,
    PATCH_CHECKSUM_MISMATCH = 8,
    PATCH_BAD_ELEMENT_PARAMETERS = 12,
    PATCH_STREAM_ERROR = 20,
    PATCH_STREAM_NOT_CONSUMED = 21,
    PATCH_BAD_ENCODED_PROGRAM = 23,
    PATCH_EXECUTABLE_NOT_RECOGNISED = 24,
    PATCH_DISASSEMBLY_FAILED = 25,
    PATCH_ASSEMBLY_FAILED = 26,
    PATCH_TRIM_LABELS_FAILED = 28,
};

} // namespace vxpatch

#endif // VXPATCH_PATCHSTATUS_H
