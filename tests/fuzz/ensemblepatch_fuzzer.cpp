// Applying any ensemble patch to any old bytes never crashes, leaks or reads outside the patch's
// streams or the old bytes, and succeeds only with output matching the target checksum.
//
// Input: flags (1 byte), old length (2 bytes, little-endian), the old bytes, target checksum
// (4 bytes), final size prediction (2 bytes, so reservations stay small), then the body. The
// header gets the right magic, version and old checksum so that the body is reached; with flag
// bit 0 the body is stored in LZMA2 chunks as it is, otherwise it is the raw block bytes.
#include <cstddef>
#include <cstdint>

#include "bytesink.h"
#include "bytesource.h"
#include "crc.h"
#include "ensembleapplier.h"
#include "ensemblewriter.h"
#include "patchstatus.h"

namespace {

constexpr uint32_t kMaxUnpacked = 16u << 20;

bool Take(const uint8_t** data, size_t* size, size_t n, const uint8_t** out)
{
    if (n > *size)
        return false;
    *out = *data;
    *data += n;
    *size -= n;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* flags = nullptr;
    const uint8_t* oldLength = nullptr;
    if (!Take(&data, &size, 1, &flags) || !Take(&data, &size, 2, &oldLength))
        return 0;
    const size_t oldSize = size_t(oldLength[0] | oldLength[1] << 8);
    const uint8_t* oldBytes = nullptr;
    const uint8_t* target = nullptr;
    const uint8_t* prediction = nullptr;
    if (!Take(&data, &size, oldSize, &oldBytes) || !Take(&data, &size, 4, &target)
        || !Take(&data, &size, 2, &prediction))
        return 0;
    // Exact-size copies, so that the sanitizer sees any read past either end.
    const vxtest::Bytes oldData(oldBytes, oldBytes + oldSize);
    const vxtest::Bytes body(data, data + size);

    vxtest::EnsembleHeader header;
    header.sourceChecksum = vxpatch::ComputeCrc(oldData.data(), uint32_t(oldData.size()));
    header.targetChecksum = uint32_t(target[0]) | uint32_t(target[1]) << 8
        | uint32_t(target[2]) << 16 | uint32_t(target[3]) << 24;
    header.finalSizePrediction = uint32_t(prediction[0]) | uint32_t(prediction[1]) << 8;

    vxtest::Bytes patch;
    if (*flags & 1) {
        if (!vxtest::PackEnsemblePatchStored(header, body, &patch))
            return 0;
    } else {
        // Larger stored sizes only cost the fuzzer memory; LZMA2 blocks have their own target.
        vxpatch::ByteSource peek(body.data(), body.size());
        uint8_t property = 0;
        uint32_t unpacked = 0;
        if (peek.ReadBytes(&property, 1) && peek.ReadVarint32(&unpacked) && unpacked > kMaxUnpacked)
            return 0;
        vxpatch::ByteSink head;
        head.WriteVarint32(header.magic);
        head.WriteVarint32(header.version);
        head.WriteVarint32(header.sourceChecksum);
        head.WriteVarint32(header.targetChecksum);
        head.WriteVarint32(header.finalSizePrediction);
        patch.assign(head.data(), head.data() + head.size());
        patch.insert(patch.end(), body.begin(), body.end());
    }

    vxpatch::ByteSource oldSource(oldData.data(), oldData.size());
    vxpatch::ByteSource patchSource(patch.data(), patch.size());
    vxpatch::ByteSink output;
    const uint32_t status = vxpatch::ApplyEnsemblePatchStreams(&oldSource, &patchSource, &output);
    if (status == vxpatch::PATCH_OK
        && vxpatch::ComputeCrc(output.data(), output.size()) != header.targetChecksum)
        __builtin_trap();
    return 0;
}
