#!/bin/sh
# Builds the gzip-layer benchmark (the gzbench target of a native build with
# ZOP_BENCH on) in its own build directory and runs it once.
#   bench/gzbench.sh [build dir] [work dir] [size in MB]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${1:-/tmp/zop-bench-build}
work=${2:-/tmp/zop-gzbench}
mb=${3:-100}
cmake -S "$root" -B "$build" -DZOP_WINDOWS=OFF -DZOP_TESTS=OFF -DZOP_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target gzbench -j2 >/dev/null
"$build/bench/gzbench" "$work" "$mb"
