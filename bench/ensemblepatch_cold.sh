#!/usr/bin/env bash
# Cold figures of ensemble patches against xdelta3 and zstd: builds the benchmark and
# vxpatch_tool in Release (in build/bench, or VX_BENCH_BUILD_DIR) and runs only the part that
# applies each patch as a fresh process. It prints; it never fails on speed. The sample pairs
# come from VX_CORPUS_DIR (default ../shared/corpus); VX_BENCH_LARGE_FILE replaces the largest
# shared library under /usr/lib as the large case.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VX_BENCH_BUILD_DIR:-$root/build/bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_TESTS=OFF \
  -DVX_BUILD_BENCHMARKS=ON ${VX_CORPUS_DIR:+-DVX_CORPUS_DIR="$VX_CORPUS_DIR"} >/dev/null
cmake --build "$build" -j4 --target vxpatch_ensemblepatch_bench vxpatch_tool >/dev/null
exec "$build/bench/vxpatch_ensemblepatch_bench" --cold-only
