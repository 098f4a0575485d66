#!/bin/sh
# Packing benchmark: the Linux zop packing (1) a tree of a few thousand files
# (a copy of the Python libraries without __pycache__) and (2) one 200 MB
# deterministic mixed file, against `tar czf` (gzip -6) of the same input and
# against one bare zlib level-6 raw deflate of the same bytes. Reports the best
# wall time of the runs, the throughput over the input bytes, the largest peak
# RSS (all from /usr/bin/time -v) and the ratio of each time to bare zlib.
#
#   bench/pack_bench.sh [work dir] [build dir] [runs] [big file MB]
#
# Not part of ctest: it needs a few hundred MB of disk and a minute or two.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
work=${1:-/tmp/zop-packbench}
build=${2:-/tmp/zop-packbench-build}
runs=${3:-3}
bigMb=${4:-200}

# ------------------------------------------------------------------ build
cmake -S "$root" -B "$build" -DZOP_WINDOWS=OFF -DZOP_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target zop -j2 >/dev/null
zlib=$(grep '^ZOP_ZLIB_STATIC:' "$build/CMakeCache.txt" | cut -d= -f2)
cc -O2 -o "$build/pack_bench_tool" "$here/pack_bench_tool.c" "$zlib"
zop=$build/zop
tool=$build/pack_bench_tool

# ------------------------------------------------------------------ inputs
mkdir -p "$work/temp" "$work/out"
cd "$work"
if [ ! -d tree ]; then
    mkdir tree
    for lib in /usr/lib/python3*; do
        # Links are followed so that the tree holds plain files only.
        cp -rL "$lib" tree/ 2>/dev/null || true
    done
    find tree -name __pycache__ -prune -exec rm -rf {} +
fi
[ -f big.bin ] || "$tool" gen big.bin "$bigMb"
find tree -type f >tree.list
printf 'r tree\n' >tree.zop
printf 'f big.bin\n' >big.zop

treeFiles=$(wc -l <tree.list)
treeDirs=$(find tree -type d | wc -l)
treeBytes=$(tr '\n' '\0' <tree.list | du -cb --files0-from=- | tail -1 | cut -f1)
bigBytes=$(stat -c %s big.bin)
# Warm the page cache so that every contender reads from memory.
cat big.bin >/dev/null
tr '\n' '\0' <tree.list | xargs -0 cat >/dev/null

# ------------------------------------------------------------------ measuring
# measure NAME OUTPUT COMMAND...: runs the command $runs times under
# /usr/bin/time -v; records "NAME best-wall-s best-cpu-s max-rss-KiB
# output-bytes". CPU time (user + system) is the steadier figure on a busy
# machine.
measure() {
    name=$1
    out=$2
    shift 2
    best=
    bestCpu=
    rss=0
    i=0
    while [ "$i" -lt "$runs" ]; do
        rm -f "$out"
        TEMP=$work/temp /usr/bin/time -v -o time.txt "$@" <"${stdin:-/dev/null}" >/dev/null
        wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
                   n = split($2, p, ":"); s = 0
                   for (k = 1; k <= n; k++) s = s * 60 + p[k]
                   print s }' time.txt)
        cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { print s }' time.txt)
        kib=$(awk -F': ' '/Maximum resident set size/ { print $2 }' time.txt)
        best=$(awk -v a="$wall" -v b="$best" 'BEGIN { print (b == "" || a < b) ? a : b }')
        bestCpu=$(awk -v a="$cpu" -v b="$bestCpu" 'BEGIN { print (b == "" || a < b) ? a : b }')
        [ "$kib" -gt "$rss" ] && rss=$kib
        i=$((i + 1))
    done
    echo "$name $best $bestCpu $rss $(stat -c %s "$out")" >>results.txt
}

rm -f results.txt
stdin=
measure tree.zop out/tree.exe "$zop" tree.zop out/tree.exe
measure tree.tar out/tree.tgz tar czf out/tree.tgz tree
stdin=tree.list
measure tree.zlib out/tree.raw "$tool" deflate out/tree.raw
stdin=
measure big.zop out/big.exe "$zop" big.zop out/big.exe
measure big.tar out/big.tgz tar czf out/big.tgz big.bin
measure big.zlib out/big.raw "$tool" deflate out/big.raw big.bin
[ -z "$(ls temp)" ] || echo "warning: work directories left in $work/temp"

# ------------------------------------------------------------------ report
echo "tree: $treeFiles files in $treeDirs directories, $treeBytes bytes; big file: $bigBytes bytes"
echo "best of $runs runs; throughput over the input bytes and wall time; x zlib = time / bare zlib time"
awk -v tree="$treeBytes" -v big="$bigBytes" '
    { name[NR] = $1; wall[$1] = $2; cpu[$1] = $3; rss[$1] = $4; size[$1] = $5 }
    END {
        printf "%-10s %7s %7s %8s %13s %14s %11s %10s\n", "case", "wall s", "cpu s", "MB/s", "peak RSS KiB",
               "output bytes", "x zlib wall", "x zlib cpu"
        for (i = 1; i <= NR; i++) {
            n = name[i]; split(n, part, ".")
            input = (part[1] == "tree") ? tree : big
            base = wall[part[1] ".zlib"]; baseCpu = cpu[part[1] ".zlib"]
            printf "%-10s %7.2f %7.2f %8.1f %13d %14d %11.2f %10.2f\n", n, wall[n], cpu[n],
                   input / 1e6 / wall[n], rss[n], size[n], (base > 0 ? wall[n] / base : 0),
                   (baseCpu > 0 ? cpu[n] / baseCpu : 0)
        }
    }' results.txt
