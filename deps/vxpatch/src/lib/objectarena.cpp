#include "objectarena.h"

#include <sys/mman.h>

namespace vxpatch {

ObjectArena::~ObjectArena()
{
    while (blocks_) {
        Block* next = blocks_->next;
        ::munmap(blocks_, kBlockSize);
        blocks_ = next;
    }
}

void* ObjectArena::Allocate(size_t size, size_t alignment)
{
    // Objects are small: a request that no block could hold is a caller's error.
    if (size > kBlockSize / 2)
        return nullptr;
    uintptr_t at = (reinterpret_cast<uintptr_t>(free_) + alignment - 1) & ~(alignment - 1);
    if (!free_ || at + size > reinterpret_cast<uintptr_t>(end_)) {
        // Blocks are mapped on their own so that releasing the arena gives the memory back at
        // once, where freed heap blocks could stay with the process.
        void* mapped = ::mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            return nullptr;
        uint8_t* raw = static_cast<uint8_t*>(mapped);
        Block* block = reinterpret_cast<Block*>(raw);
        block->next = blocks_;
        blocks_ = block;
        free_ = raw + sizeof(Block);
        end_ = raw + kBlockSize;
        at = (reinterpret_cast<uintptr_t>(free_) + alignment - 1) & ~(alignment - 1);
    }
    free_ = reinterpret_cast<uint8_t*>(at + size);
    return reinterpret_cast<void*>(at);
}

} // namespace vxpatch
