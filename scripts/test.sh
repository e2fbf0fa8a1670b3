#!/usr/bin/env bash
# Installs the dependencies and runs the whole test suite through CTest twice: built with
# AddressSanitizer and UndefinedBehaviorSanitizer, and built in Release, where code runs fast
# enough to show races and stale caches that the slower sanitizer build hides. Both always run;
# the script fails when either suite does.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

sanitized=${VX_BUILD_DIR:-build/test}
release=${VX_RELEASE_BUILD_DIR:-build/release-test}
jobs=$(nproc)
cmake -S . -B "$sanitized" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" \
  -DVX_SANITIZERS=address,undefined -DVX_BUILD_TESTS=ON
cmake -S . -B "$release" -DCMAKE_BUILD_TYPE=Release -DVX_SANITIZERS= -DVX_BUILD_TESTS=ON

failed=()
for build in "$sanitized" "$release"; do
  echo "== $build"
  cmake --build "$build" -j "$jobs"
  (cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 1200) || failed+=("$build")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "test suite failed in: ${failed[*]}" >&2
  exit 1
fi
