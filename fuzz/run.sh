#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each for a bounded time.
#   bash fuzz/run.sh [SECONDS]     (default 60: the archive fuzzer)
# The connector's framing fuzzer runs after it for $GAVIO_FRAMER_FUZZ_SECONDS
# (default 25), then the server-list fuzzer for
# $GAVIO_SERVER_LIST_FUZZ_SECONDS (default 25), then the package fuzzer for
# $GAVIO_PACKAGE_FUZZ_SECONDS (default 25) from the seeds in
# fuzz/package_seeds. The builds are CMake targets
# of a GAVIO_FUZZ build in its own folder, $GAVIO_FUZZ_DIR (default
# build-fuzz/ at the top of the repository), which also holds the corpora.
set -euo pipefail

seconds="${1:-60}"
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${GAVIO_FUZZ_DIR:-$top/build-fuzz}"
mkdir -p "$out/corpus" "$out/corpus-framer" "$out/corpus-server-list" "$out/corpus-package"

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
if [[ ! -f "$out/CMakeCache.txt" ]]; then
  CC=clang CXX=clang++ cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGAVIO_FUZZ=ON -DGAVIO_BUILD_TESTS=OFF -DGAVIO_BENCH=OFF "${launcher[@]}" >/dev/null
fi
cmake --build "$out" --target vfs_archive_fuzzer connect_framer_fuzzer server_list_fuzzer \
  package_fuzzer

# Inputs stay small so that each run reads every file of many archives;
# allocations are capped well below what a 8 KiB archive could justify
# asking for, so an unbounded allocation is a failure.
"$out/vfs_archive_fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
  -artifact_prefix="$out/" -rss_limit_mb=2048 -malloc_limit_mb=128 -print_final_stats=1 \
  "$out/corpus"

# Streams of a few KiB already cross the buffer many times over (the
# maximum packet length is below 1500 bytes).
"$out/connect_framer_fuzzer" -max_total_time="${GAVIO_FRAMER_FUZZ_SECONDS:-25}" -max_len=16384 \
  -timeout=10 -artifact_prefix="$out/framer-" -rss_limit_mb=2048 -malloc_limit_mb=64 \
  -print_final_stats=1 "$out/corpus-framer"

# A server list is a few hundred bytes of XML; 4 KiB leaves room for 32
# servers and every attribute. The fuzzer starts from a list of the usual
# shape (after the 4 bytes it takes for ordering).
seed="$out/corpus-server-list/seed.xml"
if [[ ! -f "$seed" ]]; then
  printf '%s' 'XXXX<Server><game count="3" DetectPort="8000" SuccessfulServerID="2" SuccessfulPort="443"><server1 catalog="0" host="10.0.0.1"/><server2 catalog="1" host="game.example"/><server3 host="10.0.0.3"/><portlist count="2" port1="8000" port2="443"/></game></Server>' >"$seed"
fi
"$out/server_list_fuzzer" -max_total_time="${GAVIO_SERVER_LIST_FUZZ_SECONDS:-25}" -max_len=4096 \
  -timeout=10 -artifact_prefix="$out/server-list-" -rss_limit_mb=2048 -malloc_limit_mb=128 \
  -print_final_stats=1 "$out/corpus-server-list"

# Packages are at most 16 + 65535 bytes; unpack's own complaint about each
# undecodable input goes nowhere (-close_fd_mask=2).
"$out/package_fuzzer" -max_total_time="${GAVIO_PACKAGE_FUZZ_SECONDS:-25}" -max_len=70000 \
  -timeout=10 -artifact_prefix="$out/package-" -rss_limit_mb=2048 -malloc_limit_mb=64 \
  -close_fd_mask=2 -print_final_stats=1 "$out/corpus-package" "$top/fuzz/package_seeds"
