#include "backgroundprefault.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <system_error>

namespace vxpatch {

namespace {

constexpr size_t kChunk = size_t(2) << 20;
constexpr size_t kMinLength = size_t(32) << 20;
constexpr unsigned kMaxThreads = 3;

} // namespace

BackgroundPrefault::BackgroundPrefault(void* begin, size_t length)
{
#ifdef MADV_POPULATE_WRITE
    const uintptr_t page = uintptr_t(::sysconf(_SC_PAGESIZE));
    const uintptr_t first = (uintptr_t(begin) + page - 1) & ~(page - 1);
    const uintptr_t last = (uintptr_t(begin) + length) & ~(page - 1);
    if (length < kMinLength || first >= last)
        return;
    begin_ = reinterpret_cast<unsigned char*>(first);
    chunks_ = (last - first) / kChunk;
    // The writer and the patch body's decoder keep two cores.
    const unsigned cores = std::thread::hardware_concurrency();
    const unsigned count = std::min(kMaxThreads, cores > 2 ? cores - 2 : 0u);
    for (unsigned i = 0; i < count; ++i) {
        try {
            threads_.emplace_back(&BackgroundPrefault::Run, this, size_t(i), size_t(count));
        } catch (const std::system_error&) {
            break;
        }
    }
#else
    (void)begin;
    (void)length;
#endif
}

BackgroundPrefault::~BackgroundPrefault()
{
    stop_ = true;
    for (std::thread& thread : threads_)
        thread.join();
}

// Whole chunks only: the tail is left to the writer.
void BackgroundPrefault::Run(size_t first, size_t step)
{
#ifdef MADV_POPULATE_WRITE
    for (size_t chunk = first; chunk < chunks_ && !stop_; chunk += step) {
        if (::madvise(begin_ + chunk * kChunk, kChunk, MADV_POPULATE_WRITE) != 0)
            return;
    }
#else
    (void)first;
    (void)step;
#endif
}

} // namespace vxpatch
