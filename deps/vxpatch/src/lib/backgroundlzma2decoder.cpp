#include "backgroundlzma2decoder.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#include "lzmaioout.h"

namespace vxpatch {

namespace {

bool IsZeroPage(const uint8_t* page, size_t length)
{
    // Whole cache lines at a time, leaving at the first line that holds a set byte.
    constexpr size_t kLine = 64;
    for (size_t at = 0; at < length; at += kLine) {
        uint64_t bits = 0;
        for (size_t i = 0; i < kLine; i += sizeof(uint64_t)) {
            uint64_t word = 0;
            std::memcpy(&word, page + at + i, sizeof(word));
            bits |= word;
        }
        if (bits != 0)
            return false;
    }
    return true;
}

// Gives the pages of [begin, end) (page aligned) that hold only zeros back to the system: they
// still read as zeros, from the system's shared zero page, and take no memory. The diffs of a
// barely changed file are mostly zeros. Sets the flag of each page given back (flags[0] for the
// page at `begin`) and returns the count of bytes kept.
size_t ReleaseZeroPages(uint8_t* begin, uint8_t* end, size_t page, std::atomic<uint8_t>* flags)
{
    const auto release = [&](uint8_t* from, uint8_t* to) {
        ::madvise(from, size_t(to - from), MADV_DONTNEED);
        for (uint8_t* at = from; flags && at < to; at += page)
            flags[size_t(at - begin) / page].store(1, std::memory_order_relaxed);
    };
    size_t kept = 0;
    uint8_t* run = nullptr;
    for (uint8_t* at = begin; at < end; at += page) {
        if (IsZeroPage(at, page)) {
            if (!run)
                run = at;
        } else {
            kept += page;
            if (run)
                release(run, at);
            run = nullptr;
        }
    }
    if (run)
        release(run, end);
    return kept;
}

} // namespace

BackgroundLzma2Decoder::BackgroundLzma2Decoder(ByteSource* source, ByteSink* sink)
    : source_(source), sink_(sink)
{
    uint8_t property = 0;
    // Nothing is reserved for a size the payload cannot hold.
    if (!PeekLzma2BlockHeader(*source, &property, &size_, &headerLength_) || sink->size() != 0
        || size_ > Lzma2OutputLimit(source->Remaining() - headerLength_)
        || !sink->Reserve(size_)) {
        // A block that cannot even start is left to ReadLzma2Block, which says why.
        DecodeInPlace();
        return;
    }
    data_ = sink->FreeSpace();
    pageSize_ = uintptr_t(::sysconf(_SC_PAGESIZE));
    firstPage_ = (uintptr_t(data_) + pageSize_ - 1) & ~(pageSize_ - 1);
    zeroPages_.reset(new (std::nothrow) std::atomic<uint8_t>[size_ / pageSize_ + 1]());
    const uint8_t* in = source->current() + headerLength_;
    const size_t inSize = source->Remaining() - headerLength_;
    running_ = true;
    try {
        thread_ = std::thread(&BackgroundLzma2Decoder::Run, this, property, in, inSize);
    } catch (const std::system_error&) {
        Run(property, in, inSize);
    }
}

BackgroundLzma2Decoder::~BackgroundLzma2Decoder()
{
    stop_ = true;
    Resume();
    if (thread_.joinable())
        thread_.join();
}

void BackgroundLzma2Decoder::DecodeInPlace()
{
    succeeded_ = ReadLzma2Block(source_, sink_);
    finished_ = true;
    data_ = sink_->data();
    size_ = succeeded_ ? sink_->size() : 0;
    decoded_ = size_;
}

bool BackgroundLzma2Decoder::Publish(uint32_t decoded, uint64_t kept)
{
    std::unique_lock<std::mutex> lock(mutex_);
    decoded_ = decoded;
    changed_.notify_all();
    changed_.wait(lock, [&] {
        if (stop_ || decoded_ < pauseAt_)
            return true;
        if (keptAtPause_ == kNotPaused)
            keptAtPause_ = kept;
        return kept - keptAtPause_ < kPauseBudget;
    });
    return !stop_;
}

void BackgroundLzma2Decoder::PauseAt(uint32_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    pauseAt_ = bytes;
    keptAtPause_ = kNotPaused;
}

void BackgroundLzma2Decoder::Resume()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pauseAt_ = 0xFFFFFFFFu;
        keptAtPause_ = kNotPaused;
    }
    changed_.notify_all();
}

void BackgroundLzma2Decoder::Run(uint8_t property, const uint8_t* in, size_t inSize)
{
    size_t consumed = 0;
    uint8_t* out = const_cast<uint8_t*>(data_);
    const uintptr_t page = pageSize_;
    uint8_t* scanned = reinterpret_cast<uint8_t*>(firstPage_);
    uint64_t kept = 0;
    const auto publish = [&](uint32_t decoded) {
        // The reader has not seen the new bytes yet; it may read the zeros of a page that
        // straddles the last mark while it is given back, and reads zeros either way.
        uint8_t* whole = reinterpret_cast<uint8_t*>(uintptr_t(out + decoded) & ~(page - 1));
        if (whole > scanned) {
            std::atomic<uint8_t>* flags =
                zeroPages_ ? zeroPages_.get() + (uintptr_t(scanned) - firstPage_) / page : nullptr;
            kept += ReleaseZeroPages(scanned, whole, page, flags);
            scanned = whole;
        }
        return Publish(decoded, kept);
    };
    const bool ok = DecodeLzma2Payload(property, size_, in, inSize, out, publish, &consumed);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        succeeded_ = ok;
        consumed_ = consumed;
    }
    changed_.notify_all();
}

bool BackgroundLzma2Decoder::WaitFor(uint32_t bytes, uint32_t* decoded)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (bytes > decoded_ && pauseAt_ != 0xFFFFFFFFu) {
        pauseAt_ = 0xFFFFFFFFu;
        changed_.notify_all();
    }
    changed_.wait(lock, [&] { return decoded_ >= bytes || !running_; });
    if (decoded)
        *decoded = decoded_;
    return bytes <= decoded_;
}

uint32_t BackgroundLzma2Decoder::ZeroRun(uint32_t offset, uint32_t n, bool* zeros) const
{
    *zeros = false;
    const uintptr_t at = uintptr_t(data_) + offset;
    if (!zeroPages_ || n == 0 || at < firstPage_)
        return n;
    const auto flagged = [&](uintptr_t address) {
        return zeroPages_[(address - firstPage_) / pageSize_].load(std::memory_order_relaxed) != 0;
    };
    // Every page that holds decoded bytes has its flag; only pages before `at + n` are asked.
    *zeros = flagged(at);
    uintptr_t next = (at & ~(pageSize_ - 1)) + pageSize_;
    while (next < at + n && flagged(next) == *zeros)
        next += pageSize_;
    return uint32_t(std::min<uintptr_t>(n, next - at));
}

bool BackgroundLzma2Decoder::Finish()
{
    if (finished_)
        return succeeded_;
    Resume();
    if (thread_.joinable())
        thread_.join();
    finished_ = true;
    if (succeeded_) {
        sink_->CommitFreeSpace(size_);
        source_->Skip(headerLength_ + consumed_);
        return true;
    }
    // The same verdict, with its log line, from the one-call decoder: the bytes handed out so
    // far were decoded right, whatever went wrong later.
    ByteSink verdict;
    ByteSource cursor = *source_;
    if (!ReadLzma2Block(&cursor, &verdict))
        return false;
    std::copy(verdict.data(), verdict.data() + size_, const_cast<uint8_t*>(data_));
    sink_->CommitFreeSpace(size_);
    *source_ = cursor;
    succeeded_ = true;
    return true;
}

} // namespace vxpatch
