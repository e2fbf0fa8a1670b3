#ifndef VXPATCH_WRITEFILE_H
#define VXPATCH_WRITEFILE_H

#include <cstddef>
#include <string>

namespace vxpatch {

// Writes a whole file in one go, replacing it. Returns the number of bytes written (0 when the
// file cannot be created); the write succeeded only when that equals `length`. A partly written
// file is left in place for the caller to deal with.
size_t WriteFile(const std::string& path, const void* data, size_t length);
// The same through `fd`, a file open for writing that the caller made (and keeps open): for a
// program that creates its files its own way.
size_t WriteFile(int fd, const void* data, size_t length);

} // namespace vxpatch

#endif // VXPATCH_WRITEFILE_H
