#include "vxdiff.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "crc.h"
#include "lzmaioout.h"
#include "patchlog.h"
#include "suffixarray.h"

namespace vxpatch {
namespace {

// A match at least this long ends a search pass as soon as it beats the current
// alignment at all, so that long runs are not searched again position by position.
constexpr int64_t kLongMatch = 10241;

int64_t MatchLength(const uint8_t* a, int64_t aLength, const uint8_t* b, int64_t bLength)
{
    const int64_t limit = std::min(aLength, bLength);
    int64_t i = 0;
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

// The match search over the suffix array of the old bytes and the control, diff and
// extra streams it produces. Borrows both inputs; used by one thread for one diff.
class DiffWriter {
public:
    DiffWriter(const uint8_t* old, int64_t oldLength, const uint8_t* newer, int64_t newLength)
        : old_(old)
        , n_(oldLength)
        , new_(newer)
        , m_(newLength)
        , suffixes_(static_cast<size_t>(oldLength) + 1)
        , diff_(static_cast<size_t>(newLength) + 1)
        , extra_(static_cast<size_t>(newLength) + 1)
    {
    }

    bool Run();

    ByteSink& control() { return control_; }
    const uint8_t* diffBytes() const { return diff_.data(); }
    uint32_t diffLength() const { return static_cast<uint32_t>(diffLength_); }
    const uint8_t* extraBytes() const { return extra_.data(); }
    uint32_t extraLength() const { return static_cast<uint32_t>(extraLength_); }

private:
    // Longest match of new[scan..] among the old suffixes; its old offset goes to *pos.
    int64_t Search(int64_t scan, int64_t* pos) const;
    bool EmitTriple(int64_t scan, int64_t pos);

    const uint8_t* old_;
    int64_t n_;
    const uint8_t* new_;
    int64_t m_;
    std::vector<int32_t> suffixes_;
    std::vector<uint8_t> diff_;
    std::vector<uint8_t> extra_;
    int64_t diffLength_ = 0;
    int64_t extraLength_ = 0;
    ByteSink control_;
    int64_t lastScan_ = 0;
    int64_t lastPos_ = 0;
    int64_t lastOffset_ = 0;
};

int64_t DiffWriter::Search(int64_t scan, int64_t* pos) const
{
    const uint8_t* target = new_ + scan;
    const int64_t targetLength = m_ - scan;
    int64_t lo = 0;
    int64_t hi = n_;
    while (hi - lo >= 2) {
        const int64_t mid = lo + (hi - lo) / 2;
        const int64_t offset = suffixes_[mid];
        const size_t common = static_cast<size_t>(std::min(n_ - offset, targetLength));
        if (std::memcmp(old_ + suffixes_[mid], target, common) < 0) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    const int64_t loLength =
        MatchLength(old_ + suffixes_[lo], n_ - suffixes_[lo], target, targetLength);
    const int64_t hiLength =
        MatchLength(old_ + suffixes_[hi], n_ - suffixes_[hi], target, targetLength);
    if (loLength > hiLength) {
        *pos = suffixes_[lo];
        return loLength;
    }
    *pos = suffixes_[hi];
    return hiLength;
}

bool DiffWriter::Run()
{
    suffixes_[0] = static_cast<int32_t>(n_);
    BuildSuffixArray(old_, suffixes_.data() + 1, static_cast<int32_t>(n_));

    int64_t scan = 0;
    int64_t len = 0;
    int64_t pos = 0;
    while (scan < m_) {
        int64_t oldScore = 0;
        scan += len;
        for (int64_t scsc = scan; scan < m_; ++scan) {
            len = Search(scan, &pos);
            for (; scsc < scan + len; ++scsc) {
                if (scsc + lastOffset_ < n_ && old_[scsc + lastOffset_] == new_[scsc])
                    ++oldScore;
            }
            if ((len == oldScore && len != 0) || len > oldScore + 8 ||
                (len >= kLongMatch && len > oldScore)) {
                break;
            }
            if (scan + lastOffset_ < n_ && old_[scan + lastOffset_] == new_[scan])
                --oldScore;
        }
        if ((len != oldScore || scan == m_) && !EmitTriple(scan, pos))
            return false;
    }
    return true;
}

// Extends the previous match forwards and the new one backwards, splits their
// overlap at the best point and writes one control triple with its diff and extra
// bytes.
bool DiffWriter::EmitTriple(int64_t scan, int64_t pos)
{
    int64_t lenf = 0;
    {
        int64_t s = 0;
        int64_t best = 0;
        for (int64_t i = 0; lastScan_ + i < scan && lastPos_ + i < n_;) {
            if (old_[lastPos_ + i] == new_[lastScan_ + i])
                ++s;
            ++i;
            if (s * 2 - i > best * 2 - lenf) {
                best = s;
                lenf = i;
            }
        }
    }
    int64_t lenb = 0;
    if (scan < m_) {
        int64_t s = 0;
        int64_t best = 0;
        for (int64_t i = 1; scan >= lastScan_ + i && pos >= i; ++i) {
            if (old_[pos - i] == new_[scan - i])
                ++s;
            if (s * 2 - i > best * 2 - lenb) {
                best = s;
                lenb = i;
            }
        }
    }
    if (lastScan_ + lenf > scan - lenb) {
        const int64_t overlap = (lastScan_ + lenf) - (scan - lenb);
        int64_t s = 0;
        int64_t best = 0;
        int64_t lens = 0;
        for (int64_t i = 0; i < overlap; ++i) {
            if (new_[lastScan_ + lenf - overlap + i] == old_[lastPos_ + lenf - overlap + i])
                ++s;
            if (new_[scan - lenb + i] == old_[pos - lenb + i])
                --s;
            if (s > best) {
                best = s;
                lens = i + 1;
            }
        }
        lenf += lens - overlap;
        lenb -= lens;
    }

    for (int64_t i = 0; i < lenf; ++i) {
        diff_[diffLength_ + i] = static_cast<uint8_t>(new_[lastScan_ + i] - old_[lastPos_ + i]);
    }
    diffLength_ += lenf;
    const int64_t extraLength = (scan - lenb) - (lastScan_ + lenf);
    std::memcpy(
        extra_.data() + extraLength_, new_ + lastScan_ + lenf, static_cast<size_t>(extraLength));
    extraLength_ += extraLength;

    const int64_t seek = (pos - lenb) - (lastPos_ + lenf);
    if (!control_.WriteVarint32Signed(static_cast<int32_t>(lenf)) ||
        !control_.WriteVarint32Signed(static_cast<int32_t>(extraLength)) ||
        !control_.WriteVarint32Signed(static_cast<int32_t>(seek))) {
        return false;
    }
    lastScan_ = scan - lenb;
    lastPos_ = pos - lenb;
    lastOffset_ = pos - scan;
    return true;
}

bool WriteRawBody(DiffWriter* writer, ByteSink* out)
{
    ByteSink& control = writer->control();
    return out->WriteVarint32(control.size()) && out->WriteVarint32(writer->diffLength()) &&
        out->WriteVarint32(writer->extraLength()) && out->Write(control.data(), control.size()) &&
        out->Write(writer->diffBytes(), writer->diffLength()) &&
        out->Write(writer->extraBytes(), writer->extraLength());
}

bool WriteBody(int method, DiffWriter* writer, ByteSink* out)
{
    if (method == VXDIFF_RAW)
        return WriteRawBody(writer, out);
    if (method == VXDIFF_LZMA2_EACH) {
        ByteSink& control = writer->control();
        return CompressBufferLzma2(control.data(), control.size(), out) &&
            CompressBufferLzma2(writer->diffBytes(), writer->diffLength(), out) &&
            CompressBufferLzma2(writer->extraBytes(), writer->extraLength(), out);
    }
    ByteSink raw;
    return WriteRawBody(writer, &raw) && CompressBufferLzma2(raw.data(), raw.size(), out);
}

} // namespace

bool MakeVxdiffPatch(
    ByteSource* oldData, ByteSource* newData, ByteSink* output, bool withHeader, int method)
{
    if (method < VXDIFF_RAW || method > VXDIFF_LZMA2_ALL) {
        LogError("Invalid compression method");
        return false;
    }
    const uint8_t* old = oldData->current();
    const uint8_t* newer = newData->current();
    const uint32_t oldLength = oldData->Remaining();
    const uint32_t newLength = newData->Remaining();
    const uint32_t crc = ComputeCrc(newer, newLength);
    if (static_cast<int32_t>(oldLength) < 0)
        LogError(" old stream too large");
    if (static_cast<int32_t>(newLength) < 0)
        LogError(" new stream too large");
    if (!oldData->Skip(oldLength)) {
        LogError("error in old_stream size");
        return false;
    }
    if (!newData->Skip(newLength)) {
        LogError("error in new_stream size");
        return false;
    }

    DiffWriter writer(old, oldLength, newer, newLength);
    if (!writer.Run())
        return false;

    if (withHeader &&
        (!output->Write(kVxdiffMagic, sizeof(kVxdiffMagic)) || !output->WriteVarint32(crc))) {
        return false;
    }
    const uint8_t methodByte = static_cast<uint8_t>(method);
    return output->Write(&methodByte, 1) && output->WriteVarint32(newLength) &&
        WriteBody(method, &writer, output);
}

} // namespace vxpatch
