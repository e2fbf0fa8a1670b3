#include "mappedfile.h"

#include "growablebuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace vxpatch {

namespace {

int adviceFor(uint32_t index)
{
    switch (index) {
    case MappedFile::ADVICE_SEQUENTIAL:
        return MADV_SEQUENTIAL;
    case MappedFile::ADVICE_RANDOM:
        return MADV_RANDOM;
    default:
        return MADV_NORMAL;
    }
}

} // namespace

MappedFile::MappedFile(const std::string& path, uint32_t length, uint32_t advice)
{
    Open(path, length, advice);
}

MappedFile::~MappedFile()
{
    Close();
}

bool MappedFile::Open(const std::string& path, uint32_t length, uint32_t advice)
{
    if (view_)
        return false;
    if (fd_ != -1)
        Close();
    fileSize_ = 0;
    viewLength_ = 0;
    advice_ = advice;

    fd_ = ::open(path.c_str(), O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fd_ == -1)
        return false;
    struct stat64 status;
    if (::fstat64(fd_, &status) != 0) {
        Close();
        return false;
    }
    fileSize_ = static_cast<uint64_t>(status.st_size);
    return Map(0, length);
}

bool MappedFile::Map(uint64_t offset, uint32_t length)
{
    if (fd_ == -1)
        return false;
    if (length == 0) {
        // A whole file whose size does not fit the 32-bit view cannot be mapped whole.
        if (fileSize_ > 0xFFFFFFFFu)
            return false;
        length = static_cast<uint32_t>(fileSize_);
    }
    Unmap();
    if (offset > fileSize_)
        return false;
    if (length > fileSize_ - offset)
        length = static_cast<uint32_t>(fileSize_ - offset);

    // mmap takes page-aligned offsets only; map from the page start and skip the lead.
    const uint64_t lead = offset % static_cast<uint64_t>(PageSize());
    const size_t mappedLength = static_cast<size_t>(lead + length);
    // A small file is read whole, so its pages are mapped in at once instead of fault by fault.
    const int populate = mappedLength <= kMaxPrefaulted ? MAP_POPULATE : 0;
    void* address = length == 0 ? MAP_FAILED
                                : ::mmap64(nullptr, mappedLength, PROT_READ, MAP_SHARED | populate,
                                           fd_, static_cast<off64_t>(offset - lead));
    if (address == MAP_FAILED)
        return false;
    mapping_ = address;
    mappingLength_ = mappedLength;
    view_ = static_cast<const uint8_t*>(address) + lead;
    viewLength_ = length;
    ::madvise(address, mappedLength, adviceFor(advice_));
    return true;
}

void MappedFile::DropResidentPages()
{
    // The few pages of a small file are worth keeping over mapping them in again.
    if (mapping_ && mappingLength_ > kMaxPrefaulted)
        ::madvise(mapping_, mappingLength_, MADV_DONTNEED);
}

void MappedFile::Unmap()
{
    if (mapping_)
        ::munmap(mapping_, mappingLength_);
    mapping_ = nullptr;
    mappingLength_ = 0;
    view_ = nullptr;
    viewLength_ = 0;
}

uint8_t MappedFile::At(size_t index) const
{
    if (!view_)
        throw std::invalid_argument("No view mapped");
    if (index >= viewLength_)
        throw std::out_of_range("View is not large enough");
    return view_[index];
}

int MappedFile::Close()
{
    fileSize_ = 0;
    Unmap();
    int result = 0;
    if (fd_ != -1)
        result = ::close(fd_);
    fd_ = -1;
    return result;
}

long MappedFile::PageSize()
{
    return ::sysconf(_SC_PAGESIZE);
}

} // namespace vxpatch
