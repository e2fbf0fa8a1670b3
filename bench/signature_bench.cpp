// Digest throughput of CheckSigFunc against sha512sum on the same large file, in one run.
// Prints the ratio of the two (goal: at least 0.9 of sha512sum's throughput), and for comparison
// that of reading the file whole and digesting it with QCryptographicHash.
#include "checksigfunc.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

const qint64 fileSize = qint64(256) << 20;

QString benchFile;
QString benchDigest;

bool makeFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    std::vector<quint32> block(1 << 18);
    for (qint64 written = 0; written < fileSize; written += block.size() * sizeof(quint32)) {
        QRandomGenerator::global()->fillRange(block.data(), block.size());
        const qint64 n = block.size() * sizeof(quint32);
        if (f.write(reinterpret_cast<const char*>(block.data()), n) != n)
            return false;
    }
    return true;
}

QString sha512sum(const QString& path)
{
    QProcess process;
    process.start("sha512sum", {path});
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return QString();
    return QString::fromLatin1(process.readAllStandardOutput().left(128));
}

void BM_CheckSigFunc_Sha512(benchmark::State& state)
{
    bool pass = true;
    for (auto _ : state) {
        CheckSigFunc func(benchFile, benchDigest);
        pass = pass && func.run();
    }
    if (!pass)
        state.SkipWithError("digest mismatch");
    state.SetBytesProcessed(state.iterations() * fileSize);
}

void BM_Sha512sum(benchmark::State& state)
{
    bool pass = true;
    for (auto _ : state)
        pass = pass && sha512sum(benchFile) == benchDigest;
    if (!pass)
        state.SkipWithError("digest mismatch");
    state.SetBytesProcessed(state.iterations() * fileSize);
}

void BM_WholeFileQt_Sha512(benchmark::State& state)
{
    bool pass = true;
    for (auto _ : state) {
        QFile f(benchFile);
        pass = pass && f.open(QIODevice::ReadOnly);
        const QByteArray digest = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha512);
        pass = pass && QString::fromLatin1(digest.toHex()) == benchDigest;
    }
    if (!pass)
        state.SkipWithError("digest mismatch");
    state.SetBytesProcessed(state.iterations() * fileSize);
}

// The best of the repetitions of each case counts.
BENCHMARK(BM_CheckSigFunc_Sha512)->Iterations(3)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha512sum)->Iterations(3)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeFileQt_Sha512)->Iterations(1)->Repetitions(3)->UseRealTime()->Unit(benchmark::kMillisecond);

// Keeps the best wall time per iteration of every benchmark.
class BestTimeReporter : public benchmark::ConsoleReporter
{
public:
    BestTimeReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0)
                continue;
            const std::string name = run.run_name.function_name;
            const double seconds = run.real_accumulated_time / double(run.iterations);
            auto it = best.find(name);
            if (it == best.end() || seconds < it->second)
                best[name] = seconds;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> best;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    QTemporaryDir dir;
    benchFile = dir.filePath("large.bin");
    if (!dir.isValid() || !makeFile(benchFile)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(benchFile));
        return 1;
    }
    benchDigest = sha512sum(benchFile);
    if (benchDigest.size() != 128) {
        std::fprintf(stderr, "sha512sum did not run\n");
        return 1;
    }

    BestTimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto ours = reporter.best.find("BM_CheckSigFunc_Sha512");
    const auto base = reporter.best.find("BM_Sha512sum");
    if (ours == reporter.best.end() || base == reporter.best.end())
        return 1;
    const double mib = double(fileSize) / (1 << 20);
    std::printf("\nSHA-512 of %.0f MiB: CheckSigFunc %.0f MiB/s, sha512sum %.0f MiB/s, ratio %.2f (goal >= 0.90)\n",
                mib, mib / ours->second, mib / base->second, base->second / ours->second);
    const auto whole = reporter.best.find("BM_WholeFileQt_Sha512");
    if (whole != reporter.best.end())
        std::printf("Whole file through QCryptographicHash: %.0f MiB/s, ratio %.2f to sha512sum\n",
                    mib / whole->second, base->second / whole->second);
    benchmark::Shutdown();
    return 0;
}
