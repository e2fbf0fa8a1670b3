// Ensemble patches against `xdelta3 -9` and `zstd -19 --patch-from`, on the sample library
// releases and on the largest shared library of this machine with a few bytes changed
// (VX_BENCH_LARGE_FILE names another file). The Google Benchmark runs apply in a warm loop of
// this process; the figures printed after them are cold, as the updater applies a patch: every
// side (`vxpatch_tool apply`, `xdelta3 -d`, `zstd -d --patch-from`) runs as a fresh process,
// the sides take turns round by round, and the best round counts. Peak memory is the child's
// maximum resident set. Goals: a patch at most 0.9 of zstd's, applying at most 1.3x
// `xdelta3 -d` cold for each sample pair and 2.5x for the large case, memory at most 3x the new
// file.
#include "benchsupport.h"
#include "bytesink.h"
#include "bytesource.h"
#include "ensembleapplier.h"
#include "ensemblewriter.h"
#include "patchstatus.h"

#include <benchmark/benchmark.h>

#include <ftw.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using vxtest::Bytes;
using vxbench::readAll;

const char* const kPairs[] = {"elf32-x86", "elf32-arm", "elf64-x64"};
const int kCorpusRounds = 9;
const int kLargeRounds = 3;
const double kCorpusApplyGoal = 1.3;
const double kLargeApplyGoal = 2.5;

std::string g_self;

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

std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

void run(const std::string& command)
{
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::abort();
    }
}

bool sameFiles(const std::string& a, const std::string& b)
{
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20);
    std::vector<char> bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), std::streamsize(ba.size()));
        fb.read(bb.data(), std::streamsize(bb.size()));
        if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return fa.eof() && fb.eof();
}

// One finished child: wall time from fork to reaping, its peak resident set and exit status.
struct ChildRun {
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

// Runs argv[0] with its arguments in a child of this (small) process and prints
// "seconds peak-KiB status". Going through a fresh process keeps the bench's own memory
// out of the child's peak, which a child inherits until it execs.
int timeChild(char** argv)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return 1;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("%.6f %ld %d\n", seconds, usage.ru_maxrss,
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}

ChildRun timed(const std::vector<std::string>& argv)
{
    std::string command = quoted(g_self) + " --time-child";
    for (const std::string& arg : argv)
        command += " " + quoted(arg);
    command += " 2>/dev/null";
    ChildRun child;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe || std::fscanf(pipe, "%lf %ld %d", &child.seconds, &child.peakKiB, &child.status) != 3
        || pclose(pipe) != 0 || child.status != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::abort();
    }
    return child;
}

// One old/new pair and the work folder of its patches and outputs.
struct Case {
    std::string name;
    std::string oldPath;
    std::string newPath;
    std::string dir;
    int rounds = kCorpusRounds;
    double applyGoal = kCorpusApplyGoal;
};

struct Side {
    std::string name;
    std::vector<std::string> apply;
    std::string output;
    double best = 1e9;
    long peakKiB = 0;
};

struct Row {
    long newSize = 0;
    long ours = 0, xdelta = 0, zstd = 0;
    double oursMake = 0, xdeltaMake = 0, zstdMake = 0;
    Side sides[3];
};

Row measure(const Case& c)
{
    Row row;
    const std::string d = c.dir + "/";
    row.newSize = fileSize(c.newPath);
    row.oursMake = timed({VX_PATCH_TOOL, "make", c.oldPath, c.newPath, d + "ours"}).seconds;
    row.xdeltaMake = timed({"xdelta3", "-9", "-e", "-f", "-s", c.oldPath, c.newPath, d + "xd3"}).seconds;
    row.zstdMake = timed({"zstd", "-19", "-q", "-f", "--patch-from=" + c.oldPath, c.newPath, "-o",
                          d + "zst"}).seconds;
    row.ours = fileSize(d + "ours");
    row.xdelta = fileSize(d + "xd3");
    row.zstd = fileSize(d + "zst");

    row.sides[0] = {"ensemble", {VX_PATCH_TOOL, "apply", c.oldPath, d + "ours", d + "out.ours"},
                    d + "out.ours"};
    row.sides[1] = {"xdelta3", {"xdelta3", "-d", "-f", "-s", c.oldPath, d + "xd3", d + "out.xd3"},
                    d + "out.xd3"};
    row.sides[2] = {"zstd", {"zstd", "-d", "-q", "-f", "--memory=2048MB", "--patch-from=" + c.oldPath,
                             d + "zst", "-o", d + "out.zst"}, d + "out.zst"};
    for (int round = 0; round < c.rounds; ++round) {
        for (Side& side : row.sides) {
            const ChildRun child = timed(side.apply);
            side.best = std::min(side.best, child.seconds);
            side.peakKiB = std::max(side.peakKiB, child.peakKiB);
        }
    }
    for (const Side& side : row.sides) {
        if (!sameFiles(side.output, c.newPath)) {
            std::fprintf(stderr, "%s: %s differs from the new file\n", c.name.c_str(),
                         side.output.c_str());
            std::abort();
        }
    }
    return row;
}

void printRow(const Case& c, const Row& row)
{
    const Side& ours = row.sides[0];
    const Side& xd = row.sides[1];
    const Side& zs = row.sides[2];
    const double newMiB = row.newSize / 1048576.0;
    std::printf("\n%s (%.1f MiB, best of %d rounds)\n", c.name.c_str(), newMiB, c.rounds);
    std::printf("  patch bytes: ensemble %ld, xdelta3 -9 %ld, zstd -19 %ld; ensemble / zstd %.3f "
                "(goal <= 0.9), / xdelta3 %.3f\n",
                row.ours, row.xdelta, row.zstd, double(row.ours) / row.zstd,
                double(row.ours) / row.xdelta);
    std::printf("  apply cold ms: ensemble %.1f, xdelta3 -d %.1f, zstd -d %.1f; ensemble / "
                "xdelta3 %.2f (goal <= %.1f), / zstd %.2f\n",
                ours.best * 1e3, xd.best * 1e3, zs.best * 1e3, ours.best / xd.best, c.applyGoal,
                ours.best / zs.best);
    std::printf("  apply peak MiB: ensemble %.1f, xdelta3 -d %.1f, zstd -d %.1f; ensemble / new "
                "file %.2f (goal <= 3), / xdelta3 %.2f, / zstd %.2f\n",
                ours.peakKiB / 1024.0, xd.peakKiB / 1024.0, zs.peakKiB / 1024.0,
                ours.peakKiB / 1024.0 / newMiB, double(ours.peakKiB) / xd.peakKiB,
                double(ours.peakKiB) / zs.peakKiB);
    std::printf("  make s: ensemble %.2f, xdelta3 %.2f, zstd %.2f\n", row.oursMake,
                row.xdeltaMake, row.zstdMake);
}

std::string g_largest;
long g_largestSize = 0;

int noteLargestLibrary(const char* path, const struct stat* st, int type, struct FTW*)
{
    if (type == FTW_F && S_ISREG(st->st_mode) && std::strstr(path, ".so")
        && long(st->st_size) > g_largestSize) {
        g_largest = path;
        g_largestSize = long(st->st_size);
    }
    return 0;
}

// The large case: a system library (or VX_BENCH_LARGE_FILE) and a copy with 8 bytes changed
// in four places.
bool largeCase(const std::string& work, Case* c)
{
    const char* chosen = std::getenv("VX_BENCH_LARGE_FILE");
    if (chosen && *chosen) {
        g_largest = chosen;
    } else {
        nftw("/usr/lib", noteLargestLibrary, 32, FTW_PHYS);
    }
    if (g_largest.empty())
        return false;
    Bytes data = readAll(g_largest);
    if (data.size() < 64)
        return false;
    for (int i = 1; i <= 4; ++i) {
        data[data.size() * i / 5] ^= 0x11;
        data[data.size() * i / 5 + 1] ^= 0x22;
    }
    c->name = g_largest + " with 8 bytes changed";
    c->oldPath = g_largest;
    c->dir = work + "/large";
    c->newPath = c->dir + "/new";
    c->rounds = kLargeRounds;
    c->applyGoal = kLargeApplyGoal;
    run("mkdir -p " + quoted(c->dir));
    writeAll(c->newPath, data);
    return true;
}

void printRatios()
{
    char pattern[] = "/tmp/vxpatch_ensemble_bench_XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    std::vector<Case> cases;
    for (const char* folder : kPairs) {
        const std::string dir = std::string(VX_CORPUS_DIR) + "/" + folder + "/";
        cases.push_back({folder, dir + "libssl.so.3-3.0.17", dir + "libssl.so.3-3.0.20",
                         std::string(pattern) + "/" + folder, kCorpusRounds, kCorpusApplyGoal});
        run("mkdir -p " + quoted(cases.back().dir));
    }
    Case large;
    if (largeCase(pattern, &large))
        cases.push_back(large);
    else
        std::printf("no large shared library found under /usr/lib\n");

    std::printf("\nCold application, each side a fresh process (goals: apply at most 1.3x "
                "xdelta3 -d cold for a sample pair, 2.5x for the large case, memory at most 3x the "
                "file)\n");
    long ours = 0, xdelta = 0, zstd = 0;
    double oursApply = 0, xdeltaApply = 0, zstdApply = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const Row row = measure(cases[i]);
        printRow(cases[i], row);
        if (i < std::size(kPairs)) {
            ours += row.ours;
            xdelta += row.xdelta;
            zstd += row.zstd;
            oursApply += row.sides[0].best;
            xdeltaApply += row.sides[1].best;
            zstdApply += row.sides[2].best;
        }
    }
    std::printf("\nsample pairs together: size ensemble / zstd -19 --patch-from %.3f (goal <= "
                "0.9), / xdelta3 -9 %.3f; apply cold ensemble / xdelta3 -d %.2f (goal <= 1.3), "
                "/ zstd -d %.2f\n",
                double(ours) / zstd, double(ours) / xdelta, oursApply / xdeltaApply,
                oursApply / zstdApply);
    run("rm -rf " + quoted(pattern));
}

// Applying in this process, in a warm loop: the library's own cost without process start.
void BM_EnsemblePatch_ApplyFilesWarm(benchmark::State& state)
{
    char pattern[] = "/tmp/vxpatch_ensemble_bm_XXXXXX";
    if (!mkdtemp(pattern))
        std::abort();
    const std::string dir = std::string(VX_CORPUS_DIR) + "/" + kPairs[state.range(0)] + "/";
    const std::string oldPath = dir + "libssl.so.3-3.0.17";
    const Bytes newData = readAll(dir + "libssl.so.3-3.0.20");
    Bytes patch;
    if (!vxtest::MakeEnsemblePatch(readAll(oldPath), newData, vxtest::EnsembleWriterOptions{}, &patch))
        std::abort();
    const std::string patchPath = std::string(pattern) + "/patch";
    const std::string out = std::string(pattern) + "/out";
    writeAll(patchPath, patch);
    for (auto _ : state) {
        if (vxpatch::ApplyEnsemblePatchFiles(oldPath.c_str(), patchPath.c_str(), out.c_str())
            != vxpatch::PATCH_OK)
            std::abort();
    }
    if (readAll(out) != newData)
        state.SkipWithError("wrong output");
    run("rm -rf " + quoted(pattern));
}
BENCHMARK(BM_EnsemblePatch_ApplyFilesWarm)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--time-child") == 0)
        return timeChild(argv + 2);
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    g_self = length > 0 ? std::string(self, size_t(length)) : std::string(argv[0]);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc == 2 && std::strcmp(argv[1], "--cold-only") == 0) {
        printRatios();
        return 0;
    }
    return vxbench::runThenPrintRatios(argc, argv, printRatios);
}
