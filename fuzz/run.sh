#!/usr/bin/env bash
# Builds the archive fuzzer with clang and runs it for a bounded time.
#   bash fuzz/run.sh [SECONDS]     (default 60)
# The build and the corpus live in $GAVIO_FUZZ_DIR (default build-fuzz/ at
# the top of the repository); the build is redone only when a source is
# newer than the fuzzer.
set -euo pipefail

seconds="${1:-60}"
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${GAVIO_FUZZ_DIR:-$top/build-fuzz}"
fuzzer="$out/vfs_archive_fuzzer"
mkdir -p "$out/corpus"

# The archive code only: the manager and the folder file system need the
# host frame, which the fuzzer does not link.
sources=(
  archive buffer buffer_cache coder_filter error_reporter extent_store file_mapper
  handle_alloc host_file host_fs vfile_sys vfs_path zlib_filter
)
paths=("$top/fuzz/vfs_archive_fuzzer.cpp")
for name in "${sources[@]}"; do paths+=("$top/src/vfs/$name.cpp"); done

stale=0
if [[ ! -x "$fuzzer" ]]; then
  stale=1
elif [[ -n "$(find "$top/fuzz" "$top/src/vfs" "$top/include/gavio" -newer "$fuzzer" -name '*.[ch]*' -print -quit)" ]]; then
  stale=1
fi
if [[ $stale -eq 1 ]]; then
  echo "building $fuzzer"
  clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$top/include" -I"$top/src" "${paths[@]}" -lz -o "$fuzzer"
fi

# Inputs stay small so that each run reads every file of many archives;
# allocations are capped well below what a 8 KiB archive could justify
# asking for, so an unbounded allocation is a failure.
exec "$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -artifact_prefix="$out/" \
  -rss_limit_mb=2048 -malloc_limit_mb=128 -print_final_stats=1 "$out/corpus"
