#!/bin/sh
# Builds the native zopcore library in its own build directory, links the
# gzip-layer benchmark against it and runs it once.
#   bench/gzbench.sh [build dir] [work dir] [size in MB]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-/tmp/zop-bench-build}
work=${2:-/tmp/zop-gzbench}
mb=${3:-100}
cmake -S "$root" -B "$build" -DZOP_WINDOWS=OFF -DZOP_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target zopcore -j2 >/dev/null
zlib=$(grep '^ZOP_ZLIB_STATIC:' "$build/CMakeCache.txt" | cut -d= -f2)
g++ -std=c++20 -O2 -fno-exceptions -fno-rtti -I"$root/src" \
    "$here/gzbench.cpp" "$root/src/runtime/buildkind_console.cpp" \
    "$build/libzopcore.a" "$zlib" -static -o "$build/gzbench"
"$build/gzbench" "$work" "$mb"
