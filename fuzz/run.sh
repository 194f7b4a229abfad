#!/usr/bin/env bash
# Builds the archive fuzzer with clang and runs it for a bounded time.
#   bash fuzz/run.sh [SECONDS]     (default 60)
# The build is the CMake target vfs_archive_fuzzer of a GAVIO_FUZZ build in
# its own folder, $GAVIO_FUZZ_DIR (default build-fuzz/ at the top of the
# repository), which also holds the corpus.
set -euo pipefail

seconds="${1:-60}"
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${GAVIO_FUZZ_DIR:-$top/build-fuzz}"
mkdir -p "$out/corpus"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [[ ! -f "$out/CMakeCache.txt" ]]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGAVIO_FUZZ=ON -DGAVIO_BUILD_TESTS=OFF -DGAVIO_BENCH=OFF "${launcher[@]}" >/dev/null
fi
cmake --build "$out" --target vfs_archive_fuzzer

# Inputs stay small so that each run reads every file of many archives;
# allocations are capped well below what a 8 KiB archive could justify
# asking for, so an unbounded allocation is a failure.
exec "$out/vfs_archive_fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -artifact_prefix="$out/" -rss_limit_mb=2048 -malloc_limit_mb=128 -print_final_stats=1 \
  "$out/corpus"
