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

// The decoder works through a small window that stays in memory. Whole pages of zeros are not
// copied out of it: their place in the output, never touched, is given back to the system
// (which also clears whatever an earlier use of that memory left), reads as zeros from the
// system's shared zero page and takes no memory. The diffs of a barely changed file are mostly
// zeros. Copies the other pages, sets the flag of each page given back (flags[0] for the page at
// `out`) and returns the count of bytes copied. `out` is page aligned; so is `n` unless it ends
// the output.
size_t PlaceWindow(const uint8_t* window, size_t n, uint8_t* out, size_t page,
                   std::atomic<uint8_t>* flags)
{
    const auto release = [&](size_t from, size_t to) {
        ::madvise(out + from, to - from, MADV_DONTNEED);
        for (size_t at = from; flags && at < to; at += page)
            flags[at / page].store(1, std::memory_order_relaxed);
    };
    size_t copied = 0;
    size_t run = SIZE_MAX;
    size_t at = 0;
    for (; at + page <= n; at += page) {
        if (IsZeroPage(window + at, page)) {
            if (run == SIZE_MAX)
                run = at;
            continue;
        }
        if (run != SIZE_MAX)
            release(run, at);
        run = SIZE_MAX;
        std::memcpy(out + at, window + at, page);
        copied += page;
    }
    if (run != SIZE_MAX)
        release(run, at);
    if (n > at)
        std::memcpy(out + at, window + at, n - at);
    return copied + (n - at);
}

} // namespace

BackgroundLzma2Decoder::BackgroundLzma2Decoder(ByteSource* source, ByteSink* sink)
    : source_(source), sink_(sink)
{
    uint8_t property = 0;
    // Nothing is reserved for a size the payload cannot hold.
    if (!PeekLzma2BlockHeader(*source, &property, &size_, &headerLength_) || sink->size() != 0
        || size_ > Lzma2OutputLimit(source->Remaining() - headerLength_)
        || size_ < kMinBackgroundSize || !sink->Reserve(size_)) {
        // A block that cannot even start is left to ReadLzma2Block, which says why. A tiny
        // one is decoded at once too: its thread and hand-over cost more than they gain.
        DecodeInPlace();
        return;
    }
    data_ = sink->FreeSpace();
    pageSize_ = uintptr_t(::sysconf(_SC_PAGESIZE));
    firstPage_ = (uintptr_t(data_) + pageSize_ - 1) & ~(pageSize_ - 1);
    if (size_ >= kMinWindowedSize)
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
    uint8_t* out = const_cast<uint8_t*>(data_);
    size_t consumed = 0;
    bool ok = false;
    if (size_ < kMinWindowedSize) {
        const auto deliver = [&](uint32_t offset, uint32_t n) {
            return Publish(offset + n, uint64_t(offset) + n);
        };
        ok = DecodeLzma2Payload(property, size_, in, inSize, out, kPieceSize, 0, deliver,
                                &consumed, true);
        Finished(ok, consumed);
        return;
    }
    // Whole pages, so that every piece but the first starts on a page of the output.
    const uint32_t windowSize = uint32_t(kWindowSize & ~(pageSize_ - 1));
    std::unique_ptr<uint8_t[]> window(new (std::nothrow) uint8_t[windowSize]);
    if (window) {
        const uint32_t firstPiece = uint32_t(firstPage_ - uintptr_t(data_));
        uint64_t kept = 0;
        const auto deliver = [&](uint32_t offset, uint32_t n) {
            if (n == 0)
                return Publish(offset, kept);
            uint8_t* at = out + offset;
            if (offset < firstPiece || !zeroPages_) {
                std::memcpy(at, window.get(), n);
                kept += n;
            } else {
                const size_t firstFlag = (uintptr_t(at) - firstPage_) / pageSize_;
                kept += PlaceWindow(window.get(), n, at, pageSize_, zeroPages_.get() + firstFlag);
            }
            return Publish(offset + n, kept);
        };
        ok = DecodeLzma2Payload(property, size_, in, inSize, window.get(), windowSize, firstPiece,
                                deliver, &consumed);
    }
    Finished(ok, consumed);
}

void BackgroundLzma2Decoder::Finished(bool ok, size_t consumed)
{
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
    if (!zeroPages_ || n == 0)
        return n;
    // The part of a page before the first whole one is always copied.
    if (at < firstPage_)
        return uint32_t(std::min<uintptr_t>(n, firstPage_ - at));
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
