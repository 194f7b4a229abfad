#!/usr/bin/env bash
# Builds everything and runs every test: the plain build, then the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, then a short
# fuzzing run of the archive reader. GAVIO_SKIP_SANITIZE=1 skips the
# sanitizer pass for a quick local run.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
(cd build && ctest --output-on-failure -j2 --timeout 300)

if [ "${GAVIO_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGAVIO_SANITIZE=ON \
        -DGAVIO_BENCH=OFF >/dev/null
  cmake --build build-asan -j2
  (cd build-asan && ctest --output-on-failure -j2 --timeout 600)
fi

if [ -f fuzz/run.sh ]; then
  bash fuzz/run.sh "${GAVIO_FUZZ_SECONDS:-45}"
fi
