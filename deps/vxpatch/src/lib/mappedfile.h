#ifndef VXPATCH_MAPPEDFILE_H
#define VXPATCH_MAPPEDFILE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace vxpatch {

// Read-only shared mapping of a file, so that byte sources run straight over its bytes.
// Owns the descriptor and the view; not copyable; one thread at a time. Opening and mapping
// report only through IsMapped(); `At` is the one operation that throws.
class MappedFile {
public:
    // Advice indexes for madvise; any other index gives the normal advice.
    enum Advice : uint32_t { ADVICE_NORMAL = 0, ADVICE_SEQUENTIAL = 1, ADVICE_RANDOM = 2 };

    MappedFile() = default;
    // Opens and maps `length` bytes (0: the whole file) at once; ask IsMapped() afterwards.
    explicit MappedFile(const std::string& path, uint32_t length = 0, uint32_t advice = 0);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // The same as the constructor on an object without a view. Returns IsMapped().
    bool Open(const std::string& path, uint32_t length = 0, uint32_t advice = 0);
    // Replaces the view with `length` bytes (0: the whole file) at `offset`, clipped to the file.
    bool Map(uint64_t offset, uint32_t length);
    bool IsMapped() const { return view_ != nullptr; }
    // True while the file is open, also when nothing of it could be mapped (an empty file).
    bool IsOpen() const { return fd_ != -1; }

    const uint8_t* data() const { return view_; }
    uint64_t size() const { return fileSize_; }
    uint32_t viewLength() const { return viewLength_; }
    // Unchecked access into the view.
    uint8_t operator[](size_t index) const { return view_[index]; }
    // Checked access: throws std::invalid_argument "No view mapped" or
    // std::out_of_range "View is not large enough".
    uint8_t At(size_t index) const;

    // Lets go of the view's pages for now, unless the file is small; they stay in the file's
    // cache and are read again from there when next touched. The bytes do not change.
    void DropResidentPages();

    // Unmaps and closes. Returns the result of close(), 0 when nothing was open.
    int Close();

    static long PageSize();

private:
    void Unmap();

    uint64_t fileSize_ = 0;
    uint32_t viewLength_ = 0;
    uint32_t advice_ = ADVICE_NORMAL;
    int fd_ = -1;
    const uint8_t* view_ = nullptr;
    // The page-aligned mapping that holds the view.
    void* mapping_ = nullptr;
    size_t mappingLength_ = 0;
};

} // namespace vxpatch

#endif // VXPATCH_MAPPEDFILE_H
