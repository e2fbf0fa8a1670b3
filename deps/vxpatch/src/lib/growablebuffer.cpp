#include "growablebuffer.h"

#include <sys/mman.h>
#include <unistd.h>

namespace vxpatch {

void PrefaultForWriting(void* begin, size_t length)
{
#ifdef MADV_POPULATE_WRITE
    static const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t first = (uintptr_t(begin) + page - 1) & ~(page - 1);
    const uintptr_t last = (uintptr_t(begin) + length) & ~(page - 1);
    if (length <= kMaxPrefaulted && first < last)
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
#else
    (void)begin;
    (void)length;
#endif
}

} // namespace vxpatch
