// Disassembly plus encoding throughput over the sample corpus, against a CRC
// pass over the same bytes as the baseline measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "crc.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executabledetection.h"

namespace {

struct Image {
    std::string name;
    std::vector<uint8_t> bytes;
};

// Every corpus file that is a thin executable image.
const std::vector<Image>& CorpusImages()
{
    static const std::vector<Image> images = [] {
        std::vector<Image> found;
        const char* dir = std::getenv("VX_CORPUS_DIR");
        for (const auto& entry : std::filesystem::recursive_directory_iterator(dir ? dir : VX_CORPUS_DIR)) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            vxpatch::ExecutableType type;
            uint32_t length = 0;
            if (vxpatch::DetectExecutable(bytes.data(), uint32_t(bytes.size()), &type, &length) == 1)
                found.push_back({entry.path().string(), std::move(bytes)});
        }
        return found;
    }();
    return images;
}

int64_t CorpusBytes()
{
    int64_t total = 0;
    for (const Image& image : CorpusImages())
        total += int64_t(image.bytes.size());
    return total;
}

void BM_Crc_Corpus(benchmark::State& state)
{
    uint32_t crc = 0;
    for (auto _ : state) {
        for (const Image& image : CorpusImages())
            crc ^= vxpatch::ComputeCrc(image.bytes.data(), uint32_t(image.bytes.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(state.iterations() * CorpusBytes());
}
BENCHMARK(BM_Crc_Corpus)->Unit(benchmark::kMillisecond);

void BM_DisassembleEncode_Corpus(benchmark::State& state)
{
    uint64_t ops = 0;
    bool failed = false;
    for (auto _ : state) {
        for (const Image& image : CorpusImages()) {
            vxpatch::DisassembledProgram* program = nullptr;
            vxpatch::EncodedProgram* encoded = nullptr;
            failed |= vxpatch::DisassembleExecutable(image.bytes.data(), uint32_t(image.bytes.size()), &program) != 1;
            failed |= !program || program->TrimLabelsStatus() != 1 || program->EncodeStatus(&encoded) != 1;
            if (encoded)
                ops += encoded->ops.size();
            vxpatch::DestroyEncodedProgram(encoded);
            vxpatch::DeleteDisassembledProgram(program);
        }
    }
    if (failed || ops == 0)
        state.SkipWithError("an image did not disassemble and encode");
    state.SetBytesProcessed(state.iterations() * CorpusBytes());
}
BENCHMARK(BM_DisassembleEncode_Corpus)->Unit(benchmark::kMillisecond);

// Keeps the throughput of every run so the ratio can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                bytesPerSecond[run.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> bytesPerSecond;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double baseline = reporter.bytesPerSecond["BM_Crc_Corpus"];
    const double measured = reporter.bytesPerSecond["BM_DisassembleEncode_Corpus"];
    if (baseline > 0 && measured > 0) {
        std::printf("corpus: %zu images, %.1f MB\n", CorpusImages().size(), CorpusBytes() / 1e6);
        std::printf("disassembly+encoding: %.1f MB/s; CRC baseline: %.1f MB/s; ratio %.4f\n", measured / 1e6,
                    baseline / 1e6, measured / baseline);
    }
    benchmark::Shutdown();
    return 0;
}
