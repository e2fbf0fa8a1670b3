// The binary diff (layout 1) against `xdelta3 -9` and `zstd -19 --patch-from` on the
// corpus release pairs, and the suffix array against libdivsufsort.
//
// Patch making and applying are timed as whole processes on every side (this binary
// runs itself with --make / --apply), so that start-up and file I/O count alike.
// Prints each figure as a ratio ours / theirs: below 1 means ours is smaller or faster.
#include "benchsupport.h"
#include "bytesink.h"
#include "bytesource.h"
#include "lzmafile.h"
#include "mappedfile.h"
#include "suffixarray.h"
#include "vxdiff.h"
#include "writefile.h"

#include <benchmark/benchmark.h>
#include <divsufsort.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

using vxbench::readAll;

constexpr int kRuns = 5;

bool WriteAll(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

int MakeCommand(const std::string& oldPath, const std::string& newPath, const std::string& out)
{
    const Bytes oldBytes = readAll(oldPath);
    const Bytes newBytes = readAll(newPath);
    vxpatch::ByteSource oldSource(oldBytes.data(), oldBytes.size());
    vxpatch::ByteSource newSource(newBytes.data(), newBytes.size());
    vxpatch::ByteSink patch;
    if (!vxpatch::MakeVxdiffPatch(
            &oldSource, &newSource, &patch, false, vxpatch::VXDIFF_LZMA2_EACH))
        return 1;
    return WriteAll(out, patch.data(), patch.size()) ? 0 : 1;
}

// Maps the inputs and writes the result in one piece, as the program's own readers do.
int ApplyCommand(const std::string& oldPath, const std::string& patchPath, const std::string& out)
{
    vxpatch::MappedFile oldFile(oldPath);
    vxpatch::MappedFile patchFile(patchPath);
    if (!oldFile.IsMapped() || !patchFile.IsMapped())
        return 1;
    vxpatch::ByteSource oldSource(oldFile.data(), oldFile.viewLength());
    vxpatch::ByteSource patchSource(patchFile.data(), patchFile.viewLength());
    vxpatch::ByteSink result;
    if (!vxpatch::ApplyVxdiffPatch(&oldSource, &patchSource, &result, false))
        return 1;
    return vxpatch::WriteFile(out, result.data(), result.size()) == result.size() ? 0 : 1;
}

// Best wall time of kRuns runs of a shell command, in milliseconds; negative on failure.
double TimeCommand(const std::string& command)
{
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        if (std::system(command.c_str()) != 0)
            return -1;
        best =
            std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return best;
}

// Best wall time of kRuns calls, in milliseconds.
template <typename F> double TimeCall(F&& call)
{
    return 1000 * vxbench::bestSeconds(kRuns, call);
}

struct Tool {
    const char* name;
    std::string make; // %O old, %N new, %P patch, %R rebuilt
    std::string apply;
};

std::string Fill(std::string text, const std::string& oldPath, const std::string& newPath,
    const std::string& patch, const std::string& rebuilt)
{
    const std::pair<const char*, const std::string*> keys[] = {
        {"%O", &oldPath}, {"%N", &newPath}, {"%P", &patch}, {"%R", &rebuilt}};
    for (const auto& key : keys) {
        for (size_t at = text.find(key.first); at != std::string::npos; at = text.find(key.first))
            text.replace(at, 2, *key.second);
    }
    return text;
}

struct Figures {
    double size = 0;
    double make = 0;
    double apply = 0;
};

// Makes and applies one patch with a tool, checks the result, returns its figures.
bool Measure(const Tool& tool, const std::string& oldPath, const std::string& newPath,
    const std::string& work, Figures* figures)
{
    const std::string patch = work + "/" + tool.name + ".patch";
    const std::string rebuilt = work + "/" + tool.name + ".out";
    figures->make = TimeCommand(Fill(tool.make, oldPath, newPath, patch, rebuilt));
    figures->apply = TimeCommand(Fill(tool.apply, oldPath, newPath, patch, rebuilt));
    figures->size = static_cast<double>(readAll(patch).size());
    if (figures->make < 0 || figures->apply < 0 || readAll(rebuilt) != readAll(newPath)) {
        std::printf("  %s failed\n", tool.name);
        return false;
    }
    return true;
}

void CompareDiffs(const std::string& self)
{
    char pattern[] = "/tmp/vxdiff_bench_XXXXXX";
    const char* work = mkdtemp(pattern);
    if (!work)
        return;
    const std::string quiet = " >/dev/null 2>&1";
    const Tool ours = {
        "vxdiff", self + " --make %O %N %P" + quiet, self + " --apply %O %P %R" + quiet};
    const Tool tools[] = {
        {"xdelta3", "xdelta3 -9 -e -f -s %O %N %P" + quiet, "xdelta3 -d -f -s %O %P %R" + quiet},
        {"zstd", "zstd -19 -q -f --patch-from=%O %N -o %P" + quiet,
            "zstd -d -q -f --patch-from=%O %P -o %R" + quiet},
    };
    std::printf("\nBinary diff (layout 1) against other tools, ratio ours / theirs "
                "(best of %d runs, whole processes)\n",
        kRuns);
    std::printf("%-10s %-8s %10s %10s %8s %8s %8s\n", "pair", "tool", "our bytes", "their bytes",
        "size", "make", "apply");
    for (const char* folder : {"elf32-x86", "elf32-arm", "elf64-x64"}) {
        const std::string dir = std::string(VX_CORPUS_DIR) + "/" + folder + "/libssl.so.3-3.0.";
        Figures mine;
        if (!Measure(ours, dir + "17", dir + "20", work, &mine))
            continue;
        for (const Tool& tool : tools) {
            Figures theirs;
            if (!Measure(tool, dir + "17", dir + "20", work, &theirs))
                continue;
            std::printf("%-10s %-8s %10.0f %10.0f %8.3f %8.3f %8.3f\n", folder, tool.name,
                mine.size, theirs.size, mine.size / theirs.size, mine.make / theirs.make,
                mine.apply / theirs.apply);
        }
    }
    std::system(("rm -rf " + std::string(work)).c_str());
}

void CompareSuffixArrays()
{
    std::printf("\nSuffix array against libdivsufsort, ratio of times (best of %d runs)\n",
        3 * kRuns * kRuns);
    for (const char* folder : {"elf32-x86", "elf32-arm", "elf64-x64"}) {
        const Bytes text =
            readAll(std::string(VX_CORPUS_DIR) + "/" + folder + "/libssl.so.3-3.0.17");
        const int32_t n = static_cast<int32_t>(text.size());
        std::vector<int32_t> mine(text.size());
        std::vector<int32_t> theirs(text.size());
        // Alternate the two so that load from elsewhere hits both alike.
        double ours = 1e30;
        double reference = 1e30;
        for (int run = 0; run < 3 * kRuns; ++run) {
            ours = std::min(ours, TimeCall([&] {
                vxpatch::BuildSuffixArray(text.data(), mine.data(), n);
                benchmark::DoNotOptimize(mine.data());
            }));
            reference = std::min(reference, TimeCall([&] {
                divsufsort(text.data(), theirs.data(), n);
                benchmark::DoNotOptimize(theirs.data());
            }));
        }
        std::printf("%-10s %8d bytes  ours %7.2f ms  divsufsort %7.2f ms  ratio %.3f%s\n", folder,
            n, ours, reference, ours / reference, mine == theirs ? "" : "  (ORDER DIFFERS)");
    }
}

void CompareContainers()
{
    char pattern[] = "/tmp/vxfile_bench_XXXXXX";
    const char* work = mkdtemp(pattern);
    if (!work)
        return;
    std::printf("\nPackage container with preprocessing against xz -9, ratio of sizes\n");
    const char* files[] = {"elf32-x86/libssl.so.3-3.0.20", "elf32-arm/libssl.so.3-3.0.20",
        "elf64-x64/libssl.so.3-3.0.20", "pe32/zlib1.dll", "pe32plus/zlib1.dll",
        "macho/fat-gcc-386-amd64-darwin-exec"};
    for (const char* file : files) {
        const std::string input = std::string(VX_CORPUS_DIR) + "/" + file;
        const std::string packed = std::string(work) + "/packed";
        const std::string xz = std::string(work) + "/packed.xz";
        if (!vxpatch::PackLzmaFile(input, packed, true) ||
            std::system(("xz -9 -c " + input + " > " + xz).c_str()) != 0) {
            std::printf("%-36s failed\n", file);
            continue;
        }
        const double ours = static_cast<double>(readAll(packed).size());
        const double theirs = static_cast<double>(readAll(xz).size());
        std::printf("%-36s ours %8.0f  xz %8.0f  ratio %.3f\n", file, ours, theirs, ours / theirs);
    }
    std::system(("rm -rf " + std::string(work)).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--make")
        return MakeCommand(argv[2], argv[3], argv[4]);
    if (argc == 5 && std::string(argv[1]) == "--apply")
        return ApplyCommand(argv[2], argv[3], argv[4]);
    CompareSuffixArrays();
    CompareDiffs(argv[0]);
    CompareContainers();
    return 0;
}
