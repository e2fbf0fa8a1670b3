#include "corpusimages.h"
#include "disassembledprogram.h"
#include "executabledetection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>

namespace vxpatch {
namespace {

using vxtest::CorpusImage;

// Detection and disassembly of a damaged image: each either rejects it (24),
// fails the disassembly (25) or gives a program, and never reads outside the
// buffer, which is allocated at its exact size so that the address sanitizer
// sees any read past it.
// Returns the status of the disassembly.
int ExpectHandled(const std::vector<uint8_t>& bytes)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<size_t>(bytes.size(), 1)]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    const uint32_t length = uint32_t(bytes.size());

    ExecutableType type = EXE_UNKNOWN;
    uint32_t detected = 0;
    const int detection = DetectExecutable(exact.get(), length, &type, &detected);
    EXPECT_TRUE(detection == 1 || detection == 24) << detection;
    EXPECT_LE(detected, length);

    DisassembledProgram* program = nullptr;
    const int status = DisassembleExecutable(exact.get(), length, &program);
    EXPECT_TRUE(status == 1 || status == 24 || status == 25) << status;
    EXPECT_EQ(status == 24, detection == 24);
    EXPECT_EQ(program != nullptr, status == 1);
    if (program) {
        EXPECT_EQ(program->kind(), type);
        EXPECT_GT(program->insnCount(), 0u);
    }
    DeleteDisassembledProgram(program);
    return status;
}

// Offsets of the header structures of an image: its first 4 KiB and, for ELF,
// the section header table, which usually sits at the end.
std::vector<std::pair<size_t, size_t>> HeaderRanges(const std::vector<uint8_t>& bytes)
{
    std::vector<std::pair<size_t, size_t>> ranges{{0, std::min<size_t>(bytes.size(), 4096)}};
    if (bytes.size() >= 64 && bytes[0] == 0x7F && bytes[1] == 'E') {
        const bool is64 = bytes[4] == 2;
        size_t shoff = 0;
        for (int i = is64 ? 7 : 3; i >= 0; --i)
            shoff = (shoff << 8) | bytes[(is64 ? 40 : 32) + i];
        if (shoff < bytes.size())
            ranges.push_back({shoff, bytes.size()});
    }
    return ranges;
}

class DamagedCorpusImages : public vxtest::CorpusImageSuite {};

TEST_F(DamagedCorpusImages, TruncatedAnywhereAreHandled)
{
    ASSERT_FALSE(images_->empty());
    std::map<int, int> statuses;
    for (const CorpusImage& image : *images_) {
        SCOPED_TRACE(image.name.toStdString());
        const size_t size = image.bytes.size();
        std::vector<size_t> cuts{0, 1, 10, 31, 32, 51, 52, 63, 64, 65, 100, 200, 300, 500, 1000, 1024, 2048, 4096};
        for (size_t k = 1; k < 16; ++k)
            cuts.push_back(size * k / 16);
        cuts.push_back(size - 1);
        for (size_t cut : cuts) {
            if (cut >= size)
                continue;
            SCOPED_TRACE(cut);
            ++statuses[ExpectHandled(std::vector<uint8_t>(image.bytes.begin(), image.bytes.begin() + cut))];
        }
    }
    // Cuts inside the headers are rejected, cuts inside the contents fail the
    // disassembly; only a cut of trailing data leaves a whole image.
    EXPECT_GT(statuses[24], 0);
    EXPECT_GT(statuses[25], 0);
    EXPECT_GT(statuses[1], 0);
}

TEST_F(DamagedCorpusImages, FlippedHeaderBytesAreHandled)
{
    std::mt19937 random(20261209);
    std::map<int, int> statuses;
    for (const CorpusImage& image : *images_) {
        SCOPED_TRACE(image.name.toStdString());
        const auto ranges = HeaderRanges(image.bytes);
        // Large images take long to disassemble under the sanitizers.
        const int rounds = image.bytes.size() > 100000 ? 6 : 40;
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(round);
            std::vector<uint8_t> damaged = image.bytes;
            const int flips = 1 + int(random() % 3);
            for (int f = 0; f < flips; ++f) {
                const auto& range = ranges[random() % ranges.size()];
                const size_t at = range.first + random() % (range.second - range.first);
                damaged[at] = uint8_t(random());
            }
            ++statuses[ExpectHandled(damaged)];
        }
    }
    EXPECT_GT(statuses[24], 0);
    EXPECT_GT(statuses[25], 0);
    EXPECT_GT(statuses[1], 0);
    std::printf("flipped headers: %d accepted, %d rejected, %d failed\n", statuses[1], statuses[24], statuses[25]);
}

} // namespace
} // namespace vxpatch
