#ifndef VXPATCH_BACKGROUNDLZMA2DECODER_H
#define VXPATCH_BACKGROUNDLZMA2DECODER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "bytesink.h"
#include "bytesource.h"

namespace vxpatch {

// Decodes one LZMA2 block on a thread of its own, so that its owner can work on the first
// bytes while the rest is still being decoded. The sink is grown once to the block's size
// before the thread starts and its bytes are published in order: the owner may read bytes
// [0, n) of data() once WaitFor(n) returned true. Finish joins the thread and gives the same
// verdict, sink and cursor as ReadLzma2Block, whose log lines a failure also writes. When no
// thread can be started, or the block is tiny, the block is decoded at once. A block below
// kMinWindowedSize is decoded straight into the sink; a larger one passes through a window,
// and its pages of zeros are left out. Not copyable; the destructor joins.
class BackgroundLzma2Decoder {
public:
    static constexpr uint64_t kPauseBudget = uint64_t(32) << 20;
    // The decoder's output passes through a window of this many bytes.
    static constexpr uint32_t kWindowSize = uint32_t(1) << 20;
    // Blocks that decode to fewer bytes are decoded at once, on the owner's thread.
    static constexpr uint32_t kMinBackgroundSize = uint32_t(256) << 10;
    // Blocks that decode to fewer bytes take no window; they are published in pieces this long.
    static constexpr uint32_t kMinWindowedSize = uint32_t(4) << 20;
    static constexpr uint32_t kPieceSize = uint32_t(16) << 10;

    // Starts decoding the block at the cursor of `source` into `sink`, which must be empty.
    BackgroundLzma2Decoder(ByteSource* source, ByteSink* sink);
    ~BackgroundLzma2Decoder();
    BackgroundLzma2Decoder(const BackgroundLzma2Decoder&) = delete;
    BackgroundLzma2Decoder& operator=(const BackgroundLzma2Decoder&) = delete;

    // The block's bytes as they are decoded, and their final count.
    const uint8_t* data() const { return data_; }
    uint32_t size() const { return size_; }

    // Waits until the first `bytes` bytes are decoded; false when the decoding failed first.
    // `decoded`, when given, receives the count decoded by then.
    bool WaitFor(uint32_t bytes, uint32_t* decoded = nullptr);

    // Lets the decoding rest once about `bytes` bytes are decoded and the pages decoded after
    // them hold more than kPauseBudget bytes that are not all zeros, until Resume: bytes that are
    // not needed yet then take little memory (pages of zeros take none), while the decoder's own
    // state waits. WaitFor beyond that point resumes the decoding.
    void PauseAt(uint32_t bytes);
    void Resume();

    // For decoded bytes from `offset`: the length (1 to n) of the run in pages that were
    // given back as all zeros, *zeros then true, or of the run before the next such page.
    uint32_t ZeroRun(uint32_t offset, uint32_t n, bool* zeros) const;

    // Waits for the end; true when the block decoded whole (the sink then holds it and the
    // cursor stands after it), else false with the reason logged.
    bool Finish();

private:
    void Run(uint8_t property, const uint8_t* in, size_t inSize);
    void Finished(bool ok, size_t consumed);
    bool Publish(uint32_t decoded, uint64_t kept);
    void DecodeInPlace();

    ByteSource* source_;
    ByteSink* sink_;
    const uint8_t* data_ = nullptr;
    uint32_t size_ = 0;
    size_t headerLength_ = 0;
    size_t consumed_ = 0;

    std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t decoded_ = 0;
    uint32_t pauseAt_ = 0xFFFFFFFFu;
    static constexpr uint64_t kNotPaused = ~uint64_t(0);
    // The count of kept (not all zero) decoded bytes when the pause mark was passed.
    uint64_t keptAtPause_ = kNotPaused;
    bool running_ = false;
    bool succeeded_ = false;
    bool finished_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    // One flag for each page of the sink, set once the page was given back as zeros; empty when
    // it could not be allocated, so that no page is known to be zeros.
    std::unique_ptr<std::atomic<uint8_t>[]> zeroPages_;
    uintptr_t firstPage_ = 0;
    uintptr_t pageSize_ = 0;
};

} // namespace vxpatch

#endif // VXPATCH_BACKGROUNDLZMA2DECODER_H
