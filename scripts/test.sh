#!/usr/bin/env bash
# Builds everything and runs every test: the plain build, then the same
# suite under AddressSanitizer and UndefinedBehaviorSanitizer, then under
# ThreadSanitizer, then a short fuzzing run of the archive reader, and the
# README's first command on a fresh copy of the tree. GAVIO_SKIP_SANITIZE=1
# skips the sanitizer passes for a quick local run. Ends with one summary line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

# Compiles go through ccache with paths taken relative to the repository,
# so a copy of the tree below build/ hits the cache of the main build.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

passed=0
failed=0
# Runs ctest in a build folder and adds its counts to the totals.
run_suite() {
  local folder="$1" timeout="$2" log status
  log="$(mktemp)"
  set +e
  (cd "$folder" && ctest --output-on-failure -j2 --timeout "$timeout") 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  local line total bad
  line="$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)"
  rm -f "$log"
  total="$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")"
  bad="$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")"
  passed=$((passed + ${total:-0} - ${bad:-0}))
  failed=$((failed + ${bad:-0}))
  return "$status"
}

overall=0
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build build -j2
run_suite build 300 || overall=1

if [ "${GAVIO_SKIP_SANITIZE:-0}" != 1 ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGAVIO_SANITIZE=ON \
        -DGAVIO_BENCH=OFF "${launcher[@]}" >/dev/null
  cmake --build build-asan -j2
  run_suite build-asan 600 || overall=1

  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAVIO_TSAN=ON \
        -DGAVIO_BENCH=OFF "${launcher[@]}" >/dev/null
  cmake --build build-tsan -j2
  export TSAN_OPTIONS="second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
  run_suite build-tsan 600 || overall=1
fi

if [ -f fuzz/run.sh ]; then
  if bash fuzz/run.sh "${GAVIO_FUZZ_SECONDS:-45}"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    overall=1
  fi
fi

# The README's first command, as a new user runs it: on a copy of the tree
# without any build folder.
first_run() {
  local copy=build/first-run
  rm -rf "$copy"
  mkdir -p "$copy"
  tar --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -xf - -C "$copy"
  (cd "$copy" && ./gavio demo)
}
if first_run; then
  echo "first run: OK"
  passed=$((passed + 1))
  rm -rf build/first-run
else
  echo "first run: FAILED (./gavio demo on a copy of the tree in build/first-run)"
  failed=$((failed + 1))
  overall=1
fi

echo "tests: ${passed} passed, ${failed} failed"
exit "$overall"
