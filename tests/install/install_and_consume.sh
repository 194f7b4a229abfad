#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs the
# example client against the installed package, out of the source tree:
# once with CMake (find_package) and once with pkg-config. Also runs the
# installed tool, which must find the libraries in the prefix.
#   install_and_consume.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/gavio-install-XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir="$(dirname "$(find "$prefix" -name 'libgavio.so.*.*.*' -print -quit)")"
for lib in gavioplat gavio gavfact; do
  [ -L "$libdir/lib$lib.so" ] || { echo "missing link lib$lib.so"; exit 1; }
  soname="$(objdump -p "$libdir/lib$lib.so" | awk '/SONAME/ {print $2}')"
  [ "$soname" = "lib$lib.so.0" ] || { echo "lib$lib.so has SONAME '$soname'"; exit 1; }
done
[ -f "$prefix/include/gavio/gavio.h" ] || { echo "public header missing"; exit 1; }

cp -r "$source/examples" "$work/src"
cmake -S "$work/src" -B "$work/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/with-cmake" >/dev/null
"$work/with-cmake/gavio_example" | tee "$work/cmake.out"
grep -q "read 30 bytes: hello through the file system" "$work/cmake.out"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
pc_libdir="$(pkg-config --variable=libdir gavio)"
# shellcheck disable=SC2046
c++ -std=c++20 "$work/src/gavio_example.cpp" -o "$work/with-pkg-config" \
    $(pkg-config --cflags --libs gavio) -ldl -DGAVIO_LIBDIR="\"$pc_libdir\"" -Wl,-rpath,"$pc_libdir"
"$work/with-pkg-config" | grep -q "instances left: none"

"$prefix/bin/gavio" --version | grep -q "^gavio $(pkg-config --modversion gavio)$"
printf 'abc' | "$prefix/bin/gavio" md5 | grep -q '^900150983cd24fb0d6963f7d28e17f72  -$'
echo "install and consume: OK"
