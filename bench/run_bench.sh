#!/bin/bash
# Launch benchmark of a packed executable on Linux.
#   1. A packed app of a few thousand files (about 50 MB) that extracts,
#      runs `true` and cleans up, against `tar xzf` + `rm -rf` of the same tree.
#   2. The per-launch overhead of a tiny packed app (one 1 KB file, one
#      `true`) against running `true` directly.
#   3. Peak memory (maximum resident set size) of both launches.
# Uses hyperfine when installed, else a timing loop.
#   bench/run_bench.sh [zop stub] [work dir] [files] [runs]
# Without a stub, the native stub is built in /tmp/zop-bench-build.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
zop=${1:-}
work=${2:-/tmp/zop-runbench}
files=${3:-3000}
runs=${4:-10}

if [ -z "$zop" ]; then
    build=/tmp/zop-bench-build
    cmake -S "$root" -B "$build" -DZOP_WINDOWS=OFF -DZOP_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target zop -j2 >/dev/null
    zop=$build/zop
fi
zop=$(cd "$(dirname "$zop")" && pwd)/$(basename "$zop")

rm -rf "$work"
mkdir -p "$work/temp" "$work/big" "$work/tiny" "$work/untar"
export TEMP=$work/temp

# ---------------------------------------------------------------- the tree
# Files of 1 to 32 KB in 40 directories, half random (incompressible) and
# half base64 text (compresses to about three quarters): about 50 MB.
echo "making $files files..."
tree=$work/big/tree
dirs=40
for d in $(seq 1 $dirs); do mkdir -p "$tree/dir$d"; done
i=0
while [ $i -lt "$files" ]; do
    size=$(( (i * 7919 % 32) * 1024 + 1024 ))
    file=$tree/dir$(( i % dirs + 1 ))/file$i
    if [ $(( i % 2 )) -eq 0 ]; then
        head -c "$size" /dev/urandom >"$file"
    else
        head -c $(( size * 3 / 4 )) /dev/urandom | base64 -w 76 | head -c "$size" >"$file"
    fi
    i=$(( i + 1 ))
done
bytes=$(du -sb "$tree" | cut -f1)
echo "tree: $files files, $(( bytes / 1048576 )) MB"

cd "$work/big"
printf 'r tree\nc true\n' >app.zop
"$zop" app.zop app </dev/null
chmod +x app
tar czf tree.tar.gz tree
echo "packed app: $(( $(stat -c %s app) / 1048576 )) MB; tar.gz: $(( $(stat -c %s tree.tar.gz) / 1048576 )) MB"

cd "$work/tiny"
head -c 1024 /dev/urandom >one.bin
printf 'f one.bin\nc true\n' >app.zop
"$zop" app.zop app </dev/null
chmod +x app

# ---------------------------------------------------------------- timing
untar="tar xzf $work/big/tree.tar.gz -C $work/untar && rm -rf $work/untar/tree"
if command -v hyperfine >/dev/null; then
    echo
    echo "== big app: run mode against tar xzf + rm -rf"
    hyperfine --warmup 2 --runs "$runs" -N "$work/big/app" 2>/dev/null ||
        hyperfine --warmup 2 --runs "$runs" "$work/big/app"
    hyperfine --warmup 2 --runs "$runs" "$untar"
    echo
    echo "== tiny app: per-launch overhead against true"
    hyperfine --warmup 20 --runs 300 -N "$work/tiny/app" "$(command -v true)" 2>/dev/null ||
        hyperfine --warmup 20 --runs 300 --shell=none "$work/tiny/app" "$(command -v true)"
else
    # Mean wall time of a command over n runs, in milliseconds.
    mean_ms() {
        local n=$1
        shift
        local start end
        start=$(date +%s%N)
        for _ in $(seq 1 "$n"); do "$@" >/dev/null; done
        end=$(date +%s%N)
        echo "scale=3; ($end - $start) / $n / 1000000" | bc
    }
    echo
    echo "== big app: run mode against tar xzf + rm -rf (mean of $runs)"
    echo "packed app:      $(mean_ms "$runs" "$work/big/app") ms"
    echo "tar xzf + rm -rf: $(mean_ms "$runs" sh -c "$untar") ms"
    echo
    echo "== tiny app: per-launch overhead (mean of 300)"
    echo "packed app: $(mean_ms 300 "$work/tiny/app") ms"
    echo "true:       $(mean_ms 300 "$(command -v true)") ms"
fi

# ---------------------------------------------------------------- memory
echo
echo "== peak memory (maximum resident set size)"
for app in big tiny; do
    kb=$(/usr/bin/time -v "$work/$app/app" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}')
    echo "$app app: $kb KB"
done
kb=$(/usr/bin/time -v sh -c "tar xzf $work/big/tree.tar.gz -C $work/untar" 2>&1 >/dev/null |
     awk -F': ' '/Maximum resident/ {print $2}')
rm -rf "$work/untar/tree"
echo "tar xzf: $kb KB"

left=$(find "$TEMP" -mindepth 1 | wc -l)
echo
echo "entries left in TEMP: $left"
rm -rf "$work"
