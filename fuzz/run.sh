#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each for a bounded time.
#   bash fuzz/run.sh [SECONDS]     (the archive fuzzer's time, default 60)
# The package fuzzer runs for $GAVIO_PACKAGE_FUZZ_SECONDS (default 25) from
# the seeds in fuzz/package_seeds.
# The builds are CMake targets of a GAVIO_FUZZ build in its own folder,
# $GAVIO_FUZZ_DIR (default build-fuzz/ at the top of the repository), which
# also holds the corpora.
set -euo pipefail

seconds="${1:-60}"
package_seconds="${GAVIO_PACKAGE_FUZZ_SECONDS:-25}"
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${GAVIO_FUZZ_DIR:-$top/build-fuzz}"
mkdir -p "$out/corpus" "$out/package-corpus"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [[ ! -f "$out/CMakeCache.txt" ]]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGAVIO_FUZZ=ON -DGAVIO_BUILD_TESTS=OFF -DGAVIO_BENCH=OFF "${launcher[@]}" >/dev/null
fi
cmake --build "$out" --target vfs_archive_fuzzer package_fuzzer

# Packages are at most 16 + 65535 bytes; unpack's own complaint about each
# undecodable input goes nowhere (-close_fd_mask=2).
"$out/package_fuzzer" -max_total_time="$package_seconds" -max_len=70000 -timeout=10 \
  -artifact_prefix="$out/package-" -rss_limit_mb=2048 -malloc_limit_mb=64 -close_fd_mask=2 \
  -print_final_stats=1 "$out/package-corpus" "$top/fuzz/package_seeds"

# Inputs stay small so that each run reads every file of many archives;
# allocations are capped well below what a 8 KiB archive could justify
# asking for, so an unbounded allocation is a failure.
exec "$out/vfs_archive_fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -artifact_prefix="$out/" -rss_limit_mb=2048 -malloc_limit_mb=128 -print_final_stats=1 \
  "$out/corpus"
