// Ensemble patches of the sample library releases against `xdelta3 -9` and
// `zstd -19 --patch-from`, in one run: patch size, making time and applying time, printed as
// ratios after the Google Benchmark runs. Goals: at most 0.9 of zstd's patch size, applying in
// at most twice the time of `xdelta3 -d`.
#include "benchsupport.h"
#include "bytesink.h"
#include "bytesource.h"
#include "ensembleapplier.h"
#include "ensemblewriter.h"
#include "patchstatus.h"

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using vxtest::Bytes;
using vxbench::bestSeconds;
using vxbench::readAll;

const char* const kPairs[] = {"elf32-x86", "elf32-arm", "elf64-x64"};

void writeAll(const std::string& path, const Bytes& data)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

long fileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

void run(const std::string& command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::abort();
    }
}

struct Pair {
    std::string dir;
    std::string oldPath;
    std::string newPath;
    Bytes oldData;
    Bytes newData;
};

Pair loadPair(const char* folder, const std::string& work)
{
    Pair pair;
    const std::string dir = std::string(VX_CORPUS_DIR) + "/" + folder + "/";
    pair.oldPath = dir + "libssl.so.3-3.0.17";
    pair.newPath = dir + "libssl.so.3-3.0.20";
    pair.oldData = readAll(pair.oldPath);
    pair.newData = readAll(pair.newPath);
    pair.dir = work + "/" + folder;
    run("mkdir -p '" + pair.dir + "'");
    return pair;
}

void applyOurs(const Pair& pair, const std::string& patch, const std::string& out)
{
    if (vxpatch::ApplyEnsemblePatchFiles(pair.oldPath.c_str(), patch.c_str(), out.c_str())
        != vxpatch::PATCH_OK)
        std::abort();
}

void BM_EnsemblePatch_ApplyFiles(benchmark::State& state)
{
    char pattern[] = "/tmp/vxpatch_ensemble_bm_XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    const Pair pair = loadPair(kPairs[state.range(0)], pattern);
    Bytes patch;
    if (!vxtest::MakeEnsemblePatch(pair.oldData, pair.newData, vxtest::EnsembleWriterOptions{},
                                   &patch))
        std::abort();
    writeAll(pair.dir + "/patch", patch);
    for (auto _ : state)
        applyOurs(pair, pair.dir + "/patch", pair.dir + "/out");
    if (readAll(pair.dir + "/out") != pair.newData)
        state.SkipWithError("wrong output");
    run(std::string("rm -rf '") + pattern + "'");
}
BENCHMARK(BM_EnsemblePatch_ApplyFiles)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

struct Row {
    long ours = 0, plain = 0, xdelta = 0, zstd = 0;
    double oursMake = 0, xdeltaMake = 0, zstdMake = 0;
    double oursApply = 0, xdeltaApply = 0, zstdApply = 0;
};

Row measure(const Pair& pair)
{
    Row row;
    const int runs = 7;
    const std::string d = pair.dir + "/";
    Bytes patch;
    row.oursMake = bestSeconds(1, [&] {
        if (!vxtest::MakeEnsemblePatch(pair.oldData, pair.newData, vxtest::EnsembleWriterOptions{},
                                       &patch))
            std::abort();
    });
    writeAll(d + "ours", patch);
    row.ours = long(patch.size());
    Bytes plain;
    if (!vxtest::MakeEnsemblePatch(pair.oldData, pair.newData,
                                   vxtest::EnsembleWriterOptions{false, 0}, &plain))
        std::abort();
    row.plain = long(plain.size());

    row.xdeltaMake = bestSeconds(1, [&] {
        run("xdelta3 -9 -e -f -s '" + pair.oldPath + "' '" + pair.newPath + "' '" + d + "xd3'");
    });
    row.zstdMake = bestSeconds(1, [&] {
        run("zstd -19 -q -f --patch-from='" + pair.oldPath + "' '" + pair.newPath + "' -o '" + d
            + "zst' 2>/dev/null");
    });
    row.xdelta = fileSize(d + "xd3");
    row.zstd = fileSize(d + "zst");

    row.oursApply = bestSeconds(runs, [&] { applyOurs(pair, d + "ours", d + "out.ours"); });
    row.xdeltaApply = bestSeconds(runs, [&] {
        run("xdelta3 -d -f -s '" + pair.oldPath + "' '" + d + "xd3' '" + d + "out.xd3'");
    });
    row.zstdApply = bestSeconds(runs, [&] {
        run("zstd -d -q -f --patch-from='" + pair.oldPath + "' '" + d + "zst' -o '" + d
            + "out.zst'");
    });
    for (const char* out : {"out.ours", "out.xd3", "out.zst"}) {
        if (readAll(d + out) != pair.newData) {
            std::fprintf(stderr, "%s: %s differs from the new file\n", pair.dir.c_str(), out);
            std::abort();
        }
    }
    return row;
}

void printRatios()
{
    char pattern[] = "/tmp/vxpatch_ensemble_bench_XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    std::printf("\n%-10s %9s %9s %9s %9s | %7s %7s | %6s %6s | %6s %6s\n", "pair", "ensemble",
                "no elems", "xdelta3", "zstd", "size/zs", "size/xd", "app/xd", "app/zs",
                "mk/xd", "mk/zs");
    Row total;
    for (const char* folder : kPairs) {
        const Row row = measure(loadPair(folder, pattern));
        std::printf("%-10s %9ld %9ld %9ld %9ld | %7.3f %7.3f | %6.2f %6.2f | %6.2f %6.2f\n",
                    folder, row.ours, row.plain, row.xdelta, row.zstd,
                    double(row.ours) / row.zstd, double(row.ours) / row.xdelta,
                    row.oursApply / row.xdeltaApply, row.oursApply / row.zstdApply,
                    row.oursMake / row.xdeltaMake, row.oursMake / row.zstdMake);
        std::printf("%-10s apply ms: ensemble %.1f, xdelta3 -d %.1f, zstd -d %.1f; make s: "
                    "ensemble %.2f, xdelta3 %.2f, zstd %.2f\n",
                    "", row.oursApply * 1e3, row.xdeltaApply * 1e3, row.zstdApply * 1e3,
                    row.oursMake, row.xdeltaMake, row.zstdMake);
        total.ours += row.ours;
        total.zstd += row.zstd;
        total.xdelta += row.xdelta;
        total.oursApply += row.oursApply;
        total.xdeltaApply += row.xdeltaApply;
    }
    std::printf("all pairs: size ensemble / zstd --patch-from %.3f (goal <= 0.9), "
                "/ xdelta3 -9 %.3f; apply ensemble / xdelta3 -d %.2f (goal <= 2)\n",
                double(total.ours) / total.zstd, double(total.ours) / total.xdelta,
                total.oursApply / total.xdeltaApply);
    std::printf("(times of the tools include their process start)\n");
    run(std::string("rm -rf '") + pattern + "'");
}

} // namespace

int main(int argc, char** argv)
{
    return vxbench::runThenPrintRatios(argc, argv, printRatios);
}
