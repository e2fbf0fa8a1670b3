#ifndef VXBENCH_BENCHSUPPORT_H
#define VXBENCH_BENCHSUPPORT_H

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vxbench {

// Whole contents of a file; empty when it cannot be read.
inline std::vector<uint8_t> readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Shortest wall time of `runs` calls of `work`, in seconds.
template <typename F>
double bestSeconds(int runs, F work)
{
    using Clock = std::chrono::steady_clock;
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const Clock::time_point start = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// Runs the registered benchmarks, then prints the ratios measured outside them.
inline int runThenPrintRatios(int argc, char** argv, void (*printRatios)())
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printRatios();
    return 0;
}

} // namespace vxbench

#endif // VXBENCH_BENCHSUPPORT_H
