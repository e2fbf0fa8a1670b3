#ifndef VXPATCH_OBJECTARENA_H
#define VXPATCH_OBJECTARENA_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace vxpatch {

// Bump allocator for the many small, trivially destructible objects of one disassembled
// program: a few large blocks instead of one heap allocation per object, all released
// together with the arena. Never throws; Make returns null when memory runs out.
class ObjectArena {
public:
    ObjectArena() = default;
    ~ObjectArena();
    ObjectArena(const ObjectArena&) = delete;
    ObjectArena& operator=(const ObjectArena&) = delete;

    template <class T, class... Args>
    T* Make(Args&&... args)
    {
        static_assert(std::is_trivially_destructible<T>::value, "the arena runs no destructors");
        void* place = Allocate(sizeof(T), alignof(T));
        return place ? new (place) T(std::forward<Args>(args)...) : nullptr;
    }

private:
    struct Block {
        Block* next;
    };
    static constexpr size_t kBlockSize = size_t(1) << 20;

    void* Allocate(size_t size, size_t alignment);

    Block* blocks_ = nullptr;
    uint8_t* free_ = nullptr;
    uint8_t* end_ = nullptr;
};

} // namespace vxpatch

#endif // VXPATCH_OBJECTARENA_H
