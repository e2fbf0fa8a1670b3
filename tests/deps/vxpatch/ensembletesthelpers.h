#ifndef VXTEST_ENSEMBLETESTHELPERS_H
#define VXTEST_ENSEMBLETESTHELPERS_H

#include "bytesink.h"
#include "bytesinkset.h"
#include "bytesource.h"
#include "ensembleapplier.h"
#include "ensemblewriter.h"
#include "sinkbytes.h"
#include "vxdiff.h"

#include <QByteArray>

#include <random>

namespace vxtest {

inline Bytes RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes bytes(n);
    for (uint8_t& b : bytes)
        b = uint8_t(random());
    return bytes;
}

// `data` with a few insertions, deletions and overwrites, as a new release of a file looks.
inline Bytes Edited(Bytes data, uint32_t seed)
{
    std::mt19937 random(seed);
    for (int i = 0; i < 8 && !data.empty(); ++i) {
        const size_t at = random() % data.size();
        switch (i % 3) {
        case 0:
            data.insert(data.begin() + at, 5, uint8_t(random()));
            break;
        case 1:
            data.erase(data.begin() + at, data.begin() + std::min(data.size(), at + 7));
            break;
        default:
            data[at] ^= 0x5A;
        }
    }
    return data;
}

inline Bytes ToBytes(const QByteArray& data)
{
    return Bytes(data.begin(), data.end());
}

inline QByteArray ToQByteArray(const Bytes& data)
{
    return QByteArray(reinterpret_cast<const char*>(data.data()), int(data.size()));
}

// A raw (method 0) binary diff from `from` to `to`.
inline Bytes DiffOf(const Bytes& from, const Bytes& to)
{
    vxpatch::ByteSource oldSource(from.data(), from.size());
    vxpatch::ByteSource newSource(to.data(), to.size());
    vxpatch::ByteSink sink;
    if (!vxpatch::MakeVxdiffPatch(&oldSource, &newSource, &sink, false, 0))
        return Bytes();
    return SinkBytes(sink);
}

// A serialised stream set whose stream i holds streams[i].
inline Bytes StreamSet(const std::vector<Bytes>& streams)
{
    vxpatch::ByteSinkSet set;
    for (size_t i = 0; i < streams.size(); ++i)
        set.stream(uint32_t(i))->Write(streams[i].data(), streams[i].size());
    vxpatch::ByteSink sink;
    set.CopyTo(&sink);
    return SinkBytes(sink);
}

struct Applied {
    uint32_t status = 0;
    Bytes output;
};

inline Applied ApplyStreams(const Bytes& oldData, const Bytes& patch)
{
    vxpatch::ByteSource oldSource(oldData.data(), oldData.size());
    vxpatch::ByteSource patchSource(patch.data(), patch.size());
    vxpatch::ByteSink output;
    Applied applied;
    applied.status = vxpatch::ApplyEnsemblePatchStreams(&oldSource, &patchSource, &output);
    applied.output = SinkBytes(output);
    return applied;
}

} // namespace vxtest

#endif // VXTEST_ENSEMBLETESTHELPERS_H
