#ifndef VXPATCH_GROWABLEBUFFER_H
#define VXPATCH_GROWABLEBUFFER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace vxpatch {

// Maps in at once the whole pages of [begin, begin + length) that a buffer of at most
// kMaxPrefaulted bytes is about to be written with: one call takes far less time than a fault
// per page. Larger buffers fault page by page, so that pages they never come to use hold no
// memory. Does nothing where the system cannot map pages in ahead.
constexpr size_t kMaxPrefaulted = size_t(4) << 20;
void PrefaultForWriting(void* begin, size_t length);

// Append-only array of trivially copyable elements that never throws: an allocation failure
// frees the data and marks the buffer failed for good (capacity all ones), after which every
// append and reserve fails at once. The buffer owns its array; it is moved, never copied, and
// used by one thread at a time. The pages of a small array are mapped in at once; a large one
// grows without being copied where the system can move its pages.
template <typename T>
class GrowableBuffer {
    static_assert(std::is_trivially_copyable<T>::value, "elements are moved with memcpy");

public:
    static constexpr uint32_t kFailed = 0xFFFFFFFFu;
    // 256 bytes is the smallest array ever allocated.
    static constexpr uint32_t kMinCount = sizeof(T) >= 256 ? 1 : 256 / sizeof(T);
    // Largest element count whose byte size fits 32 bits without reaching the failed mark.
    static constexpr uint32_t kMaxCount = sizeof(T) == 1 ? 0xFFFFFFFEu : 0xFFFFFFFFu / sizeof(T);

    GrowableBuffer() = default;
    ~GrowableBuffer() { std::free(data_); }
    GrowableBuffer(const GrowableBuffer&) = delete;
    GrowableBuffer& operator=(const GrowableBuffer&) = delete;
    GrowableBuffer(GrowableBuffer&& other) noexcept { Take(other); }
    GrowableBuffer& operator=(GrowableBuffer&& other) noexcept
    {
        if (this != &other) {
            std::free(data_);
            Take(other);
        }
        return *this;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    uint32_t size() const { return size_; }
    uint32_t capacity() const { return capacity_; }
    bool IsFailed() const { return capacity_ == kFailed; }
    T& operator[](uint32_t i) { return data_[i]; }
    const T& operator[](uint32_t i) const { return data_[i]; }

    // Appends n elements, doubling the capacity (from kMinCount) until they fit.
    // Returns false on a failed buffer, on a size past 32 bits or when allocation fails.
    bool AppendItems(const T* items, uint32_t n)
    {
        if (IsFailed() || n > kFailed - size_)
            return false;
        if (n == 0)
            return true;
        if (capacity_ - size_ < n && !GrowFor(size_ + n))
            return false;
        std::memcpy(data_ + size_, items, size_t(n) * sizeof(T));
        size_ += n;
        return true;
    }

    // Appends one element, doubling the capacity (from kMinCount) when full.
    bool PushBack(const T& item)
    {
        if (IsFailed() || size_ >= kMaxCount)
            return false;
        if (size_ == capacity_) {
            uint64_t grown = capacity_ == 0 ? kMinCount : uint64_t(capacity_) * 2;
            if (!Reserve(uint32_t(std::min<uint64_t>(grown, kMaxCount))))
                return false;
        }
        data_[size_++] = item;
        return true;
    }

    // Makes room for n elements in all, allocating max(n, kMinCount) when short.
    bool Reserve(uint32_t n)
    {
        if (IsFailed())
            return false;
        if (capacity_ >= n)
            return true;
        return Reallocate(std::max(n, kMinCount));
    }

    // Makes room for n more elements, growing as appends do (by doubling).
    bool EnsureFree(uint32_t n)
    {
        if (IsFailed() || n > kFailed - size_)
            return false;
        return capacity_ - size_ >= n || GrowFor(size_ + n);
    }

    // Free room after the last element; valid up to capacity() - size() elements.
    T* FreeSpace() { return data_ + size_; }

    // Counts n elements written into FreeSpace() as appended. The caller guarantees the room.
    void CommitFreeSpace(uint32_t n) { size_ += n; }

    // Empties the buffer but keeps its array, whose pages are then reused without a fault each.
    void Clear()
    {
        if (!IsFailed())
            size_ = 0;
    }

    // Frees the array and empties the buffer; a buffer without an array (also one failed for
    // good) is left as it is.
    void Release()
    {
        if (!data_)
            return;
        std::free(data_);
        data_ = nullptr;
        size_ = 0;
        capacity_ = 0;
    }

private:
    void Take(GrowableBuffer& other)
    {
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = 0;
        other.capacity_ = 0;
    }

    bool GrowFor(uint32_t needed)
    {
        uint64_t grown = capacity_ == 0 ? kMinCount : capacity_;
        while (grown < needed)
            grown *= 2;
        if (grown > kMaxCount) {
            // A capacity that no longer fits is where the doubling gives up for good.
            MarkFailed();
            return false;
        }
        return Reallocate(uint32_t(grown));
    }

    // A small array moves to fresh pages mapped in before the copy; a large one is grown by the
    // system in place or by moving its pages.
    bool Reallocate(uint32_t count)
    {
        if (count > kMaxCount) {
            MarkFailed();
            return false;
        }
        const size_t bytes = size_t(count) * sizeof(T);
        void* grown = bytes > kMaxPrefaulted ? std::realloc(data_, bytes) : std::malloc(bytes);
        if (!grown) {
            MarkFailed();
            return false;
        }
        if (bytes <= kMaxPrefaulted) {
            PrefaultForWriting(grown, bytes);
            if (size_)
                std::memcpy(grown, data_, size_t(size_) * sizeof(T));
            std::free(data_);
        }
        data_ = static_cast<T*>(grown);
        capacity_ = count;
        return true;
    }

    void MarkFailed()
    {
        std::free(data_);
        data_ = nullptr;
        size_ = 0;
        capacity_ = kFailed;
    }

    T* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

} // namespace vxpatch

#endif // VXPATCH_GROWABLEBUFFER_H
