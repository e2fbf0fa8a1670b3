#ifndef VXPATCH_BACKGROUNDPREFAULT_H
#define VXPATCH_BACKGROUNDPREFAULT_H

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace vxpatch {

// Maps in the pages of a large fresh buffer, front to back, on a few threads of their own while
// its owner fills it: first touching a page costs a fault, and the system takes faults on
// several cores at once. Only for a buffer that is about to be written whole; it holds nothing
// until written and reads as zeros. Stops and joins in the destructor. Does nothing for a short
// buffer, or where the system cannot map pages in ahead.
class BackgroundPrefault {
public:
    BackgroundPrefault(void* begin, size_t length);
    ~BackgroundPrefault();
    BackgroundPrefault(const BackgroundPrefault&) = delete;
    BackgroundPrefault& operator=(const BackgroundPrefault&) = delete;

private:
    void Run(size_t first, size_t step);

    unsigned char* begin_ = nullptr;
    size_t chunks_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

} // namespace vxpatch

#endif // VXPATCH_BACKGROUNDPREFAULT_H
