// LZMA2 block reading against `xz -d` decoding the same raw payload, and checksum throughput
// against liblzma's CRC-32. Prints the ratios after the Google Benchmark runs.
#include "benchsupport.h"
#include "bytesink.h"
#include "bytesource.h"
#include "crc.h"
#include "lzmaioout.h"

#include <benchmark/benchmark.h>
#include <lzma.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using vxbench::bestSeconds;
using vxbench::readAll;

// Every sample executable, one after another: real code and data.
const Bytes& corpus()
{
    static const Bytes bytes = [] {
        Bytes all;
        const std::string root = VX_CORPUS_DIR;
        for (const char* folder : {"elf32-x86", "elf32-arm", "elf64-x64", "pe32", "pe32plus", "macho"}) {
            const std::string dir = root + "/" + folder;
            DIR* handle = opendir(dir.c_str());
            if (!handle)
                continue;
            std::vector<std::string> names;
            while (dirent* entry = readdir(handle)) {
                if (entry->d_name[0] != '.')
                    names.push_back(entry->d_name);
            }
            closedir(handle);
            std::sort(names.begin(), names.end());
            for (const std::string& name : names) {
                const Bytes file = readAll(dir + "/" + name);
                all.insert(all.end(), file.begin(), file.end());
            }
        }
        return all;
    }();
    return bytes;
}

const Bytes& block()
{
    static const Bytes bytes = [] {
        vxpatch::ByteSink sink;
        if (!vxpatch::CompressBufferLzma2(corpus().data(), corpus().size(), &sink))
            std::abort();
        return Bytes(sink.data(), sink.data() + sink.size());
    }();
    return bytes;
}

void decodeBlock()
{
    vxpatch::ByteSource source(block().data(), block().size());
    vxpatch::ByteSink sink;
    if (!vxpatch::ReadLzma2Block(&source, &sink) || sink.size() != corpus().size())
        std::abort();
}

void BM_Lzma2_ReadBlock(benchmark::State& state)
{
    block();  // compress outside the timing
    for (auto _ : state)
        decodeBlock();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus().size()));
}
BENCHMARK(BM_Lzma2_ReadBlock)->Unit(benchmark::kMillisecond);

void BM_ComputeCrc_Corpus(benchmark::State& state)
{
    uint32_t crc = 0;
    corpus();
    for (auto _ : state)
        crc ^= vxpatch::ComputeCrc(corpus().data(), static_cast<uint32_t>(corpus().size()));
    benchmark::DoNotOptimize(crc);
    if (crc == 0x12345678u)
        std::puts("");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus().size()));
}
BENCHMARK(BM_ComputeCrc_Corpus);

void BM_LzmaCrc32_Corpus(benchmark::State& state)
{
    uint32_t crc = 0;
    for (auto _ : state)
        crc ^= lzma_crc32(corpus().data(), corpus().size(), 0);
    benchmark::DoNotOptimize(crc);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(corpus().size()));
}
BENCHMARK(BM_LzmaCrc32_Corpus);

void runXz(const std::string& payload, const std::string& dict)
{
    const std::string command = "xz --decompress --format=raw --lzma2=dict=" + dict
        + " --stdout '" + payload + "' > /dev/null";
    if (std::system(command.c_str()) != 0)
        std::abort();
}

void writeAll(const std::string& path, const uint8_t* data, size_t length)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data),
                                                static_cast<std::streamsize>(length));
}

// Decoding time of ours against xz on the payload, the process start of xz measured on an empty
// payload and taken off.
void printRatios()
{
    char dirPattern[] = "/tmp/vxpatch_lzma2_bench_XXXXXX";
    if (!mkdtemp(dirPattern))
        std::abort();
    const std::string dir = dirPattern;
    vxpatch::ByteSource header(block().data(), block().size());
    uint8_t property = 0;
    uint32_t size = 0;
    header.ReadBytes(&property, 1);
    header.ReadVarint32(&size);
    writeAll(dir + "/payload", header.current(), header.Remaining());
    vxpatch::ByteSink empty;
    vxpatch::CompressBufferLzma2(nullptr, 0, &empty);
    writeAll(dir + "/empty", empty.data() + 2, empty.size() - 2);
    const std::string dict = std::to_string((2u | (property & 1u)) << (property / 2 + 11));

    const int runs = 15;
    const double ours = bestSeconds(runs, decodeBlock);
    const double xzFull = bestSeconds(runs, [&] { runXz(dir + "/payload", dict); });
    const double xzStart = bestSeconds(runs, [&] { runXz(dir + "/empty", dict); });
    const double xz = std::max(xzFull - xzStart, 1e-9);

    const double crcSeconds = bestSeconds(runs, [] {
        benchmark::DoNotOptimize(
            vxpatch::ComputeCrc(corpus().data(), static_cast<uint32_t>(corpus().size())));
    });
    const double lzmaCrcSeconds = bestSeconds(runs, [] {
        benchmark::DoNotOptimize(lzma_crc32(corpus().data(), corpus().size(), 0));
    });

    const double mib = double(corpus().size()) / (1 << 20);
    std::printf("\ndata: %.1f MiB of sample executables, block %.1f MiB\n", mib,
                double(block().size()) / (1 << 20));
    std::printf("ReadLzma2Block %.1f MiB/s, xz -d %.1f MiB/s (%.1f ms process start taken off)\n",
                mib / ours, mib / xz, xzStart * 1e3);
    std::printf("ratio ReadLzma2Block / xz -d throughput: %.3f (without the correction %.3f)\n",
                xz / ours, xzFull / ours);
    std::printf("ComputeCrc %.0f MiB/s, ratio to lzma_crc32: %.3f\n", mib / crcSeconds,
                lzmaCrcSeconds / crcSeconds);
    std::system(("rm -rf '" + dir + "'").c_str());
}

} // namespace

int main(int argc, char** argv)
{
    return vxbench::runThenPrintRatios(argc, argv, printRatios);
}
