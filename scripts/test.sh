#!/usr/bin/env bash
# Installs the dependencies, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the whole test suite through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build=${VX_BUILD_DIR:-build/test}
jobs=$(nproc)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" \
  -DVX_SANITIZERS=address,undefined -DVX_BUILD_TESTS=ON
cmake --build "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure -j "$jobs" --timeout 1200
