#!/usr/bin/env bash
# One command for every benchmark of zop, peers side by side:
#
#   bench/run-all.sh [--quick] [--rounds N] [--build DIR] [--work DIR]
#                    [--out FILE] [--no-wine] [--no-install] [--report-only]
#
# Workloads, made deterministically under the work directory:
#   tree  a copy of this machine's Python installation: the interpreter, its
#         shared library and its standard library without __pycache__;
#   cpython  Debian's CPython packages unpacked from their .deb files (the
#         interpreter, its libraries, the standard library and its test
#         suite, the C headers, pip and setuptools): about 3,000 files in
#         250 directories, fetched once into WORK/debs with apt-get download;
#   big   one 200 MiB file of mixed text, records and random bytes;
#   tiny  one 1 KiB file;
#   empty 200,000 empty files in one directory (launch only, one thread
#         against two; TEMP on tmpfs where /dev/shm is one).
# Rows (each group measured over N rounds, the commands interleaved round by
# round; medians and min-max; ratios to the group's reference computed round
# by round; CPU = user + system, which a busy machine disturbs far less than
# wall time; peak RSS from /usr/bin/time):
#   pack    zlib floor (bench/zlib_floor.c), zop, tar czf, makeself
#   launch  extract + run `true` + remove: tar xzf (reference), zop,
#           zlib floor, makeself, 7-Zip console SFX
#   list    tar tzf (reference), zop --zop-list, makeself --list
#   cache   packed with "o cache": first start (empty cache), second start
#           (a hit) against ZOP_CACHE=0 (unpack into TEMP, remove), for tree
#           and cpython; the Python example (examples/python, gathered once)
#           started directly, first and second start, from an unrelated
#           directory; its second start against the tree once more with
#           hyperfine -N (40 runs), which decides its goal
#   per-launch overhead on tiny against running `true` directly (hyperfine -N),
#           without and with the cache (a hit)
#   Wine    zop.exe pack and launch of tree and cpython against the same
#           floor built for Windows, and against an NSIS launcher doing the
#           same extract-run-remove. Where this machine cannot run 32-bit
#           code, the x86-64 build of the Windows side (the build's
#           windows-x86_64/) runs under 64-bit Wine instead, and the NSIS rows
#           are skipped (NSIS makes 32-bit launchers only).
# Peers that are not installed (the script tries apt-get once) are skipped
# with a note. The full run writes docs/benchmarks.md; --quick measures tiny
# only, in a few seconds, writes its report into the work directory, and
# fails when zop fails or leaves work directories behind (used by CI).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
quick=0
rounds=
build=
work=/tmp/zop-bench
out=
wine=1
install=1
reportOnly=0
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) quick=1 ;;
        --rounds) rounds=$2; shift ;;
        --build) build=$2; shift ;;
        --work) work=$2; shift ;;
        --out) out=$2; shift ;;
        --no-wine) wine=0 ;;
        --no-install) install=0 ;;
        --report-only) reportOnly=1; install=0 ;;
        *) echo "usage: $0 [--quick] [--rounds N] [--build DIR] [--work DIR] [--out FILE] [--no-wine] [--no-install] [--report-only]" >&2
           exit 2 ;;
    esac
    shift
done
if [ "$quick" = 1 ]; then
    rounds=${rounds:-3}
    wine=0
    install=0
    out=${out:-$work/benchmarks-quick.md}
    workloads="tiny"
else
    rounds=${rounds:-5}
    out=${out:-$root/docs/benchmarks.md}
    workloads="tree cpython big tiny"
fi
mkdir -p "$work"
work=$(cd "$work" && pwd)
out=$(mkdir -p "$(dirname "$out")" && cd "$(dirname "$out")" && pwd)/$(basename "$out")
loadStart=$(cut -d' ' -f1-3 /proc/loadavg)
log() { echo "[run-all] $*" >&2; }
notes=()
note() { notes+=("$*"); log "note: $*"; }
have() { command -v "$1" >/dev/null 2>&1; }

# ------------------------------------------------------------------ tools
if [ "$install" = 1 ]; then
    missing=()
    have hyperfine || missing+=(hyperfine)
    have makeself || missing+=(makeself)
    have 7z || missing+=(p7zip-full)
    have makensis || missing+=(nsis)
    if [ ${#missing[@]} -gt 0 ]; then
        log "installing ${missing[*]}"
        if [ "$(id -u)" = 0 ]; then
            apt-get install -y "${missing[@]}" >/dev/null 2>&1 || log "apt-get failed; rows of missing tools are skipped"
        else
            sudo -n apt-get install -y "${missing[@]}" >/dev/null 2>&1 || log "cannot install; rows of missing tools are skipped"
        fi
    fi
fi
[ -x /usr/bin/time ] || { echo "run-all: /usr/bin/time (Debian package time) is needed" >&2; exit 1; }
sfx=
for f in /usr/lib/p7zip/7zCon.sfx /usr/lib/7zip/7zCon.sfx; do [ -f "$f" ] && sfx=$f && break; done
have makeself || note "makeself not installed: its rows are skipped"
{ have 7z && [ -n "$sfx" ]; } || note "7-Zip with a console SFX module not installed: its rows are skipped"
have hyperfine || note "hyperfine not installed: the per-launch overhead is measured by /usr/bin/time rounds"

# ------------------------------------------------------------------ build
if [ -z "$build" ]; then
    build=$work/build
    windows=OFF
    [ "$wine" = 1 ] && have i686-w64-mingw32-gcc && have wine && windows=ON
    log "building zop in $build"
    cmake -S "$root" -B "$build" -DZOP_TESTS=OFF -DZOP_WINDOWS=$windows -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" -j2 >/dev/null
fi
build=$(cd "$build" && pwd)
zop=$build/zop
[ -x "$zop" ] || { echo "run-all: no stub at $zop" >&2; exit 1; }
# Wine runs the shipped 32-bit zop.exe. A build made where 32-bit code cannot
# run has the Windows side for x86-64 as well: 64-bit Wine runs that one.
winarch=i686
winloader=wine
winzop=$build/windows/zop.exe
if [ -f "$build/windows-x86_64/zop.exe" ]; then
    winarch=x86_64
    winloader=/usr/lib/wine/wine64
    winzop=$build/windows-x86_64/zop.exe
fi
if [ "$wine" = 1 ]; then
    if [ ! -f "$winzop" ] || ! "$winloader" --version >/dev/null 2>&1 || ! have $winarch-w64-mingw32-gcc; then
        note "no Windows build, Wine or mingw-w64: the Wine rows are skipped"
        wine=0
    elif [ "$winarch" = x86_64 ]; then
        note "this machine cannot run 32-bit code: the Wine rows run the x86-64 build of zop.exe under 64-bit Wine"
    fi
fi
zlib=$(grep '^ZLIB_LIBRARY_RELEASE:' "$build/CMakeCache.txt" | cut -d= -f2)
tools=$work/tools
mkdir -p "$tools"
cc -O2 -o "$tools/zlib_floor" "$here/zlib_floor.c" "$zlib"
floor=$tools/zlib_floor

# ------------------------------------------------------------------ workloads
# Each workload is a directory W under $work/w, packed as "r W" + "c true".
w=$work/w
mkdir -p "$w"
cd "$w"
treePython=
makeTree() {
    # The system's Python (not a shim on PATH); its own sysconfig names the
    # interpreter, the shared library and the standard library.
    local base=${ZOP_BENCH_PYTHON:-/usr/bin/python3} py stdlib lib
    [ -x "$base" ] || base=$(command -v python3)
    read -r py stdlib lib < <("$base" -c 'import os, sys, sysconfig as c
print(os.path.realpath(sys.executable), c.get_path("stdlib"),
      os.path.join(c.get_config_var("LIBDIR") or "", c.get_config_var("INSTSONAME") or "-"))')
    rm -rf tree.tmp && mkdir -p tree.tmp/bin tree.tmp/lib
    cp "$py" tree.tmp/bin/
    [ -f "$lib" ] && cp -L "$lib" tree.tmp/lib/
    # The standard library only: links followed, no caches, no site packages.
    cp -rL "$stdlib" tree.tmp/lib/ 2>/dev/null || true
    find tree.tmp -name __pycache__ -prune -exec rm -rf {} +
    rm -rf "tree.tmp/lib/$(basename "$stdlib")/site-packages" "tree.tmp/lib/$(basename "$stdlib")/dist-packages"
    mv tree.tmp tree
    treePython="$py ($("$base" -V 2>&1))"
}
# Debian's CPython as its packages lay it out, from the .deb files themselves
# (not from what happens to be installed here): each package unpacked in turn
# in the order listed, symbolic links dropped. The packages and their
# versions are kept in cpython.packages for the report; the .deb files stay
# in $work/debs, so that later runs unpack the very same bytes.
cpythonPackages() {
    local v
    v=$(apt-cache depends python3 2>/dev/null | grep -o 'python3\.[0-9][0-9]*' | head -n1)
    v=${v:-python3.11}
    echo "$v-minimal lib$v-minimal lib$v-stdlib lib$v lib$v-testsuite lib$v-dev python3-pip python3-setuptools"
}
debFile() { ls "$work/debs/$1"_*.deb 2>/dev/null | head -n1; }
makeCpython() {
    local p f updated=0
    mkdir -p "$work/debs"
    rm -rf cpython.tmp cpython.packages.tmp && mkdir cpython.tmp
    for p in $(cpythonPackages); do
        f=$(debFile "$p")
        if [ -z "$f" ]; then
            if ! (cd "$work/debs" && apt-get download "$p" >/dev/null 2>&1) && [ "$updated" = 0 ] && [ "$(id -u)" = 0 ]; then
                updated=1
                apt-get update -q >/dev/null 2>&1 || true
                (cd "$work/debs" && apt-get download "$p" >/dev/null 2>&1) || true
            fi
            f=$(debFile "$p")
            [ -n "$f" ] || { rm -rf cpython.tmp cpython.packages.tmp; return 1; }
        fi
        dpkg-deb -x "$f" cpython.tmp
        echo "$(dpkg-deb -f "$f" Package) $(dpkg-deb -f "$f" Version)" >>cpython.packages.tmp
    done
    find cpython.tmp -type l -delete
    mv cpython.packages.tmp cpython.packages
    mv cpython.tmp cpython
}
made=
for W in $workloads; do
    if [ ! -d "$W" ]; then
        log "making workload $W"
        case $W in
            tree) makeTree ;;
            cpython) makeCpython || { note "cannot fetch Debian's CPython packages (apt-get download): the cpython rows are skipped"; continue; } ;;
            big) mkdir big.tmp && "$floor" gen big.tmp/big.bin 200 && mv big.tmp big ;;
            tiny) mkdir tiny.tmp && head -c 1024 /dev/zero | tr '\0' 'z' >tiny.tmp/tiny.txt && mv tiny.tmp tiny ;;
        esac
    fi
    printf 'r %s\nc true\n' "$W" >"$W.zop"
    printf 'o cache\nr %s\nc true\n' "$W" >"$W.cache.zop"
    # Warm the page cache: every contender reads from memory.
    [ "$reportOnly" = 1 ] || find "$W" -type f -exec cat {} + >/dev/null
    made="$made $W"
done
workloads=${made# }

temp=$work/temp
o=$work/out
raw=$work/raw.txt
overhead=$work/overhead.csv
winraw=$work/winraw.txt
# Everything that measures; --report-only skips it and rewrites the report
# from the results of the last run in the same work directory.
measureAll() {
    echo "$loadStart" >"$work/load-start.txt"
    temp=$work/temp
    rm -rf "$temp" "$work/out"
    mkdir -p "$temp" "$work/out"
    export TEMP=$temp TMPDIR=$temp
    # The cache rows use roots of their own (zop makes a root, not its
    # parents); nothing goes into the user's.
    rm -rf "$work/cache" && mkdir -p "$work/cache"
    export ZOP_CACHE_DIR=$work/cache/default

    # Packed forms used by the launch and list rows, and the floor's stream.
    for W in $workloads; do
        "$zop" "$W.zop" "$W.app" </dev/null && chmod +x "$W.app"
        "$zop" "$W.cache.zop" "$W.cache.app" </dev/null >/dev/null && chmod +x "$W.cache.app"
        ./"$W.app" --zop-list >"$W.list"
        "$floor" pack "$W.floor.gz" "$W.list"
        # The floor must deflate the very stream zop writes: compare what the
        # two members inflate to (zop deflates in blocks, the floor in one
        # call, so the compressed bytes differ beyond the first 128 KiB).
        size=$(stat -c %s "$W.app")
        gz=$(od -An -t d4 -j $((size - 264)) -N 4 "$W.app" | tr -d ' ')
        # The stream area may end in the segment index after the member:
        # gzip calls that trailing garbage and exits with 2, a warning.
        head -c $((size - 520)) "$W.app" | tail -c "$gz" | { gzip -dc 2>/dev/null || [ $? = 2 ]; } |
            cmp -s - <(gzip -dc <"$W.floor.gz") ||
            { echo "run-all: floor stream differs from zop's for $W" >&2; exit 1; }
        tar czf "$W.tgz" "$W"
        if have makeself && ! [ "$W.run" -nt "$W" ]; then
            makeself --quiet --gzip --complevel 6 "$W" "$W.run" "$W" true >/dev/null 2>&1
        fi
        # 7-Zip's LZMA2 takes minutes on big: kept while the workload is unchanged.
        if have 7z && [ -n "$sfx" ] && ! [ "$W.sfx" -nt "$W" ]; then
            rm -f "$W.sfx" && 7z a -bd -y -sfx"$sfx" "$W.sfx" "$W" >/dev/null && chmod +x "$W.sfx"
        fi
    done

    # ------------------------------------------------------------------ measuring
    # A group is a list of rows "label<US>prep<US>command" (unit separators); the first row is the
    # reference of its ratios. Every round runs prep (untimed) and then the
    # command (timed) of each row in turn. Results: "group label round wall cpu kib".
    : >"$raw"
    rows=()
    row() { rows+=("$1"$'\x1f'"$2"$'\x1f'"$3"); }
    runGroup() {
        local group=$1 r line label prep cmd
        log "measuring $group ($rounds rounds)"
        for ((r = 1; r <= rounds; r++)); do
            for line in "${rows[@]}"; do
                IFS=$'\x1f' read -r label prep cmd <<<"$line"
                [ -n "$prep" ] && sh -c "$prep"
                if ! /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" sh -c "$cmd" >/dev/null 2>"$work/err.txt"; then
                    echo "run-all: $group / $label failed: $cmd" >&2
                    cat "$work/err.txt" >&2
                    exit 1
                fi
                awk -v g="$group" -v l="$label" -v r="$r" \
                    'NF == 4 { gsub(/ /, "_", l); printf "%s %s %d %s %.3f %s\n", g, l, r, $1, $2 + $3, $4 }' "$work/time.txt" >>"$raw"
            done
        done
        rows=()
    }
    fresh='d=$(mktemp -d)'

    for W in $workloads; do
        # pack
        row floor "rm -f $o/$W.gz" "$floor pack $o/$W.gz $W.list"
        row zop "rm -f $o/$W.app" "$zop $W.zop $o/$W.app"
        row "zop, 1 thread" "rm -f $o/$W.app" "ZOP_THREADS=1 $zop $W.zop $o/$W.app"
        row "tar czf" "rm -f $o/$W.tgz" "tar czf $o/$W.tgz $W"
        have makeself && row makeself "rm -f $o/$W.run" "makeself --quiet --gzip --complevel 6 $W $o/$W.run $W true"
        runGroup "pack-$W"
        # launch: extract, run true, remove
        row "tar xzf" "" "$fresh && tar xzf $W.tgz -C \$d && true && rm -rf \$d"
        row zop "" "./$W.app"
        row "zop, 1 thread" "" "ZOP_THREADS=1 ./$W.app"
        row floor "" "$fresh && $floor unpack $W.floor.gz \$d && true && rm -rf \$d"
        have makeself && row makeself "" "./$W.run --quiet --nox11"
        have 7z && [ -n "$sfx" ] && row "7-Zip SFX" "" "$fresh && ./$W.sfx -y -o\$d >/dev/null && true && rm -rf \$d"
        runGroup "launch-$W"
        # list
        row "tar tzf" "" "tar tzf $W.tgz"
        row zop "" "./$W.app --zop-list"
        have makeself && row makeself "" "./$W.run --list"
        runGroup "list-$W"
        # The cache: a root of the group's own, emptied before every first
        # start. Every row starts after a sync, so that no row pays for the
        # writeback of the one before. The old tree is moved aside, not
        # deleted, until the group ends: on a file system without a journal,
        # ext4 skips inodes deleted in the last minute when it allocates
        # new ones, and a first start right after deleting 3,000 files would
        # pay for the harness's own deletion.
        case $W in tree | cpython) ;; *) continue ;; esac
        c="ZOP_CACHE_DIR=$work/cache/$W"
        trash="$work/cache-trash"
        mkdir -p "$trash"
        row "zop, cache off" "sync" "ZOP_CACHE=0 ./$W.cache.app"
        row "zop, first start" "! [ -d $work/cache/$W ] || mv $work/cache/$W $trash/\$(date +%s%N); sync" "$c ./$W.cache.app"
        row "zop, second start" "sync" "$c ./$W.cache.app"
        runGroup "cache-$W"
        rm -rf "$trash"
    done
    # 200,000 empty files in one directory: nothing to inflate or write but
    # names, where threads have the least to gain and must not cost time.
    if [ "$quick" = 0 ]; then
        if [ ! -d empty ]; then
            log "making workload empty"
            rm -rf empty.tmp && mkdir empty.tmp && (cd empty.tmp && seq -f 'e%06g' 1 200000 | xargs touch) && mv empty.tmp empty
        fi
        printf 'r empty\nc true\n' >empty.zop
        "$zop" empty.zop empty.app </dev/null >/dev/null && chmod +x empty.app
        # On a tmpfs TEMP where there is one: on a disk, the file system's
        # own work (writeback, ext4 skipping the inodes the round before
        # deleted) swings these rows by a factor of four.
        emptyTemp=$temp
        if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && mkdir -p /dev/shm/zop-bench-temp 2>/dev/null; then
            emptyTemp=/dev/shm/zop-bench-temp
        fi
        row "zop, 1 thread" "" "TEMP=$emptyTemp ZOP_THREADS=1 ./empty.app"
        row "zop, 2 threads" "" "TEMP=$emptyTemp ZOP_THREADS=2 ./empty.app"
        runGroup launch-empty
        [ "$emptyTemp" = "$temp" ] || rmdir "$emptyTemp"
    fi
    # The Python example, all four started from / with the same two items.
    py=$w/pyshop
    if [ "$quick" = 0 ] && { [ -x "$py/shop" ] || { rm -rf "$py" && "$root/examples/python/gather.sh" "$py" >/dev/null 2>&1 &&
        (cd "$py" && "$zop" app.zop shop >/dev/null); }; }; then
        c="ZOP_CACHE_DIR=$work/cache/python"
        items="apple '3 green tea'"
        row "unpacked tree, directly" "" "cd / && $py/py/bin/ld-linux-x86-64.so.2 --library-path $py/py/bin $py/py/bin/python3 -E -s -S $py/app/main.py $items"
        trash="$work/cache-trash"
        mkdir -p "$trash"
        row "zop, first start" "! [ -d $work/cache/python ] || mv $work/cache/python $trash/\$(date +%s%N); sync" "cd / && $c $py/shop $items"
        row "zop, second start" "sync" "cd / && $c $py/shop $items"
        row "zop, cache off" "sync" "cd / && ZOP_CACHE=0 $py/shop $items"
        runGroup "cache-python"
        rm -rf "$trash"
        # A second start and the tree itself take 40 to 60 ms, where the 10 ms
        # steps of /usr/bin/time decide the ratio by themselves: the two are
        # measured again with hyperfine (CPU from rusage, mean of 40 runs).
        rm -f "$work/hf-python.csv"
        if have hyperfine; then
            log "measuring the Python example's second start (hyperfine, 40 runs)"
            (cd / && export ZOP_CACHE_DIR=$work/cache/python &&
                hyperfine -N --style none --warmup 5 --runs 40 --export-csv "$work/hf-python.csv" \
                    "$py/py/bin/ld-linux-x86-64.so.2 --library-path $py/py/bin $py/py/bin/python3 -E -s -S $py/app/main.py $items" \
                    "$py/shop $items") >/dev/null 2>&1 || rm -f "$work/hf-python.csv"
        fi
    elif [ "$quick" = 0 ]; then
        note "the Python example could not be gathered (examples/python/gather.sh): its cache rows are skipped"
    fi
    rm -rf "$o"/*
    [ -z "$(ls -A "$temp")" ] || { echo "run-all: work directories left in $temp" >&2; ls "$temp" >&2; exit 1; }

    # Per-launch overhead on tiny: hyperfine, no shell, against `true` itself.
    : >"$overhead"
    trueBin=$(type -P true)
    if have hyperfine; then
        runs=200
        [ "$quick" = 1 ] && runs=30
        log "measuring per-launch overhead (hyperfine, $runs runs)"
        cmds=("$trueBin" "$w/tiny.app" "$w/tiny.cache.app" "sh -c '$fresh && tar xzf $w/tiny.tgz -C \$d && true && rm -rf \$d'")
        names=(true zop "zop (cache hit)" "tar xzf + true + rm -rf")
        if have makeself; then cmds+=("$w/tiny.run --quiet --nox11"); names+=(makeself); fi
        if have 7z && [ -n "$sfx" ]; then
            cmds+=("sh -c '$fresh && $w/tiny.sfx -y -o\$d >/dev/null && true && rm -rf \$d'")
            names+=("7-Zip SFX")
        fi
        hyperfine -N --style none --warmup 10 --runs "$runs" --export-csv "$work/hf.csv" "${cmds[@]}" >/dev/null 2>&1
        # CSV: command,mean,stddev,median,user,system,min,max. Kept: name,
        # median ms, mean CPU (user + system) ms, min ms.
        awk -F, -v names="$(IFS=,; echo "${names[*]}")" 'BEGIN { split(names, n, ",") }
            NR > 1 { i++; printf "%s,%.2f,%.2f,%.2f\n", n[i], $4 * 1000, ($5 + $6) * 1000, $7 * 1000 + 0 }' \
            "$work/hf.csv" >"$overhead"
    fi

    # ------------------------------------------------------------------ Wine
    : >"$winraw"
    rm -f "$work/winoverhead.csv"
    wineNote=""
    if [ "$wine" = 1 ]; then
        export WINEPREFIX=$work/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
        log "starting wineserver in $WINEPREFIX (the first start takes a while)"
        "$root/tests/wine-server.sh" start "$WINEPREFIX" "$winloader"
        trap '"$root/tests/wine-server.sh" stop "$WINEPREFIX" "$winloader"' EXIT
        $winarch-w64-mingw32-gcc -O2 -static -o "$tools/zlib_floor.exe" "$here/zlib_floor.c" -lz
        printf 'int main(void) { return 0; }\n' >"$tools/true.c"
        $winarch-w64-mingw32-gcc -O2 -s -static -o "$w/true.exe" "$tools/true.c"
        cp "$winzop" "$w/zop.exe"
        cp "$tools/zlib_floor.exe" "$w/zlib_floor.exe"
        # NSIS makes 32-bit launchers only.
        nsis=0
        if ! have makensis; then
            note "nsis not installed: the NSIS rows under Wine are skipped"
        elif [ "$winarch" != i686 ]; then
            note "NSIS launchers are 32-bit programs, which this machine cannot run: the NSIS rows under Wine are skipped"
        else
            nsis=1
        fi
        winTrees=
        for W in tree cpython tiny; do
            case " $workloads " in *" $W "*) ;; *) continue ;; esac
            [ "$W" = tiny ] || winTrees="$winTrees $W"
            printf 'r %s\nf true.exe\nc %%tempdir%%\\true.exe\n' "$W" >"$W.wzop"
            $winloader zop.exe "$W.wzop" "$W.w.exe" </dev/null >/dev/null
            $winloader "$W.w.exe" --zop-list >"$W.wlist"
            $winloader zlib_floor.exe pack "$W.wfloor.gz" "$W.wlist" </dev/null
            if [ "$nsis" = 1 ]; then
                cat >"$W.nsi" <<EOF
Unicode false
SilentInstall silent
RequestExecutionLevel user
SetCompressor zlib
OutFile "$W.nsis.exe"
Section
  InitPluginsDir
  SetOutPath "\$PLUGINSDIR\\app"
  File /r "$W"
  File "true.exe"
  ExecWait '"\$PLUGINSDIR\\app\\true.exe"'
  SetOutPath "\$TEMP"
  RMDir /r "\$PLUGINSDIR\\app"
SectionEnd
EOF
                makensis -V1 "$W.nsi" >/dev/null
            fi
        done
        wrounds=$rounds
        raw=$winraw
        for W in $winTrees; do
            row floor "rm -f $o/w.gz" "$winloader zlib_floor.exe pack $o/w.gz $W.wlist"
            row zop "rm -f $o/w.exe" "$winloader zop.exe $W.wzop $o/w.exe"
            runGroup "wine-pack-$W"
            row floor "" "$fresh && $winloader zlib_floor.exe unpack $W.wfloor.gz \$d && $winloader true.exe && rm -rf \$d"
            row zop "" "$winloader $W.w.exe"
            [ "$nsis" = 1 ] && row NSIS "" "$winloader $W.nsis.exe"
            runGroup "wine-launch-$W"
        done
        row "true.exe" "" "$winloader true.exe"
        row zop "" "$winloader tiny.w.exe"
        [ "$nsis" = 1 ] && row NSIS "" "$winloader tiny.nsis.exe"
        runGroup "wine-launch-tiny"
        if have hyperfine; then
            log "measuring the per-launch overhead under Wine (hyperfine, 40 runs)"
            wcmds=("$winloader true.exe" "$winloader tiny.w.exe")
            wnames=(true.exe zop)
            if [ "$nsis" = 1 ]; then wcmds+=("$winloader tiny.nsis.exe"); wnames+=(NSIS); fi
            hyperfine -N --style none --warmup 3 --runs 40 --export-csv "$work/whf.csv" "${wcmds[@]}" >/dev/null 2>&1
            awk -F, -v names="$(IFS=,; echo "${wnames[*]}")" 'BEGIN { split(names, n, ",") }
                NR > 1 { i++; printf "%s,%.2f,%.2f,%.2f\n", n[i], $4 * 1000, ($5 + $6) * 1000, $7 * 1000 + 0 }' \
                "$work/whf.csv" >"$work/winoverhead.csv"
        fi
        raw=$work/raw.txt
        rm -rf "$o"/*
    fi

    cut -d' ' -f1-3 /proc/loadavg >"$work/load-end.txt"
}
if [ "$reportOnly" = 0 ]; then
    measureAll
else
    have makensis || note "nsis not installed: the NSIS rows under Wine are skipped"
fi

# ------------------------------------------------------------------ summary
# One line per row: group label medWall minWall maxWall medCpu minCpu maxCpu
# medRatioWall minRatioWall maxRatioWall medRatioCpu minRatioCpu maxRatioCpu kib
summarize() {
    awk '
    function median(list,   n, a, i, j, t) {
        n = split(list, a, " ")
        for (i = 2; i <= n; i++) for (j = i; j > 1 && a[j-1] + 0 > a[j] + 0; j--) { t = a[j]; a[j] = a[j-1]; a[j-1] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    function lo(list,   n, a, i, m) { n = split(list, a, " "); m = a[1]; for (i = 2; i <= n; i++) if (a[i] + 0 < m + 0) m = a[i]; return m }
    function hi(list,   n, a, i, m) { n = split(list, a, " "); m = a[1]; for (i = 2; i <= n; i++) if (a[i] + 0 > m + 0) m = a[i]; return m }
    {
        key = $1 SUBSEP $2
        if (!(key in seen)) { seen[key] = 1; order[++rowsN] = key; if (!($1 in ref)) ref[$1] = $2 }
        wall[key, $3] = $4; cpu[key, $3] = $5
        walls[key] = walls[key] " " $4; cpus[key] = cpus[key] " " $5
        if ($6 > kib[key]) kib[key] = $6
        if ($3 > roundsN[key]) roundsN[key] = $3
    }
    END {
        for (k = 1; k <= rowsN; k++) {
            key = order[k]; split(key, p, SUBSEP); rk = p[1] SUBSEP ref[p[1]]
            rw = ""; rc = ""
            for (r = 1; r <= roundsN[key]; r++) {
                rw = rw " " (wall[rk, r] > 0 ? wall[key, r] / wall[rk, r] : 0)
                rc = rc " " (cpu[rk, r] > 0 ? cpu[key, r] / cpu[rk, r] : 0)
            }
            label = p[2]; gsub(/_/, " ", label)
            printf "%s\t%s\t%.2f\t%.2f\t%.2f\t%.3f\t%.3f\t%.3f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%.2f\t%d\n", p[1], label,
                median(walls[key]), lo(walls[key]), hi(walls[key]), median(cpus[key]), lo(cpus[key]), hi(cpus[key]),
                median(rw), lo(rw), hi(rw), median(rc), lo(rc), hi(rc), kib[key]
        }
    }' "$@"
}
summary=$work/summary.tsv
summarize "$work/raw.txt" >"$summary"
[ -s "$winraw" ] && summarize "$winraw" >>"$summary"

# field GROUP LABEL N: one field of the summary (3 = median wall, 6 = median
# CPU, 9 = wall ratio, 12 = CPU ratio, 15 = peak KiB).
field() { awk -F'\t' -v g="$1" -v l="$2" -v f="$3" '$1 == g && $2 == l { print $f }' "$summary"; }
ohd() { awk -F, -v l="$1" -v f="$2" '$1 == l { print $f }' "$overhead"; }

# ------------------------------------------------------------------ report
kib() { echo $(( ($(stat -c %s "$1") + 1023) / 1024 )); }
stubLinux=$(stat -c %s "$zop")
stubWin=; stubWinw=
[ -f "$build/windows/zop.exe" ] && stubWin=$(stat -c %s "$build/windows/zop.exe")
[ -f "$build/windows/zopw.exe" ] && stubWinw=$(stat -c %s "$build/windows/zopw.exe")

goals=()      # "goal|measured|met"
goal() { goals+=("$1|$2|$3"); }
cmpGoal() {  # cmpGoal TEXT VALUE LIMIT UNIT-SUFFIX
    local met=no
    [ -n "$2" ] && awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }' && met=yes
    [ -z "$2" ] && met="not measured"
    goal "$1" "${2:-–}$4" "$met"
}
ratioText() {  # CPU ratio, wall ratio in brackets
    local c w
    c=$(field "$1" "$2" 12); w=$(field "$1" "$2" 9)
    [ -n "$c" ] && echo "$c" || echo ""
}
if [ "$quick" = 0 ]; then
    cmpGoal "pack *tree* ≤ 1.10× the zlib floor (CPU)" "$(ratioText pack-tree zop)" 1.10 "× (wall $(field pack-tree zop 9)×)"
    cmpGoal "pack *big* ≤ 1.05× the zlib floor (CPU)" "$(ratioText pack-big zop)" 1.05 "× (wall $(field pack-big zop 9)×)"
    cmpGoal "pack *tree* ≤ 0.60× the zlib floor (wall, every core)" "$(field pack-tree zop 9)" 0.60 "×"
    cmpGoal "pack *big* ≤ 0.60× the zlib floor (wall, every core)" "$(field pack-big zop 9)" 0.60 "×"
    cmpGoal "launch *tree* ≤ 0.95× tar xzf + true + rm -rf (CPU)" "$(ratioText launch-tree zop)" 0.95 "× (wall $(field launch-tree zop 9)×)"
    cmpGoal "launch *big* ≤ 0.70× tar xzf + true + rm -rf (CPU)" "$(ratioText launch-big zop)" 0.70 "× (wall $(field launch-big zop 9)×)"
    cmpGoal "launch *tree* ≤ 0.60× tar xzf + true + rm -rf (wall, every core)" "$(field launch-tree zop 9)" 0.60 "×"
    cmpGoal "launch *cpython* ≤ 0.65× tar xzf + true + rm -rf (wall, every core)" "$(field launch-cpython zop 9)" 0.65 "×"
    cmpGoal "launch *big* ≤ 0.35× tar xzf + true + rm -rf (wall, every core)" "$(field launch-big zop 9)" 0.35 "×"
    # Threads never cost time: 1.05 leaves room for this machine's noise.
    cmpGoal "launch of 200,000 empty files: 2 threads ≤ 1.05× one thread (wall)" "$(field launch-empty "zop, 2 threads" 9)" 1.05 "× (CPU $(field launch-empty "zop, 2 threads" 12)×)"
fi
if [ -s "$overhead" ]; then
    ov=$(awk -v a="$(ohd zop 2)" -v b="$(ohd true 2)" 'BEGIN { printf "%.2f", a - b }')
    ovCpu=$(awk -v a="$(ohd zop 3)" -v b="$(ohd true 3)" 'BEGIN { printf "%.2f", a - b }')
    cmpGoal "per-launch overhead on *tiny* ≤ 2 ms over \`true\` (median wall, hyperfine -N)" "$ov" 2 " ms (CPU: $ovCpu ms)"
    if [ -n "$(ohd "zop (cache hit)" 2)" ]; then
        ov=$(awk -v a="$(ohd "zop (cache hit)" 2)" -v b="$(ohd true 2)" 'BEGIN { printf "%.2f", a - b }')
        ovCpu=$(awk -v a="$(ohd "zop (cache hit)" 3)" -v b="$(ohd true 3)" 'BEGIN { printf "%.2f", a - b }')
        cmpGoal "per-launch overhead on *tiny* with the cache (a hit) ≤ 2 ms over \`true\` (median wall, hyperfine -N)" "$ov" 2 " ms (CPU: $ovCpu ms)"
    fi
fi
if [ -s "$winraw" ]; then
    if [ -n "$(field wine-launch-tree NSIS 6)" ]; then
        cmpGoal "Wine: launch *tree* ≤ 0.80× the NSIS launcher (CPU)" \
            "$(awk -v a="$(field wine-launch-tree zop 6)" -v b="$(field wine-launch-tree NSIS 6)" 'BEGIN { if (b > 0) printf "%.2f", a / b }')" 0.80 \
            "× (wall $(awk -v a="$(field wine-launch-tree zop 3)" -v b="$(field wine-launch-tree NSIS 3)" 'BEGIN { if (b > 0) printf "%.2f", a / b }')×)"
    fi
    if [ -s "$work/winoverhead.csv" ]; then
        wo() { awk -F, -v l="$1" -v f="$2" '$1 == l { print $f }' "$work/winoverhead.csv"; }
        wov=$(awk -v a="$(wo zop 2)" -v b="$(wo true.exe 2)" 'BEGIN { printf "%.1f", a - b }')
        wovCpu=$(awk -v a="$(wo zop 3)" -v b="$(wo true.exe 3)" 'BEGIN { printf "%.1f", a - b }')
        cmpGoal "Wine: per-launch overhead ≤ 20 ms over \`wine true.exe\` (median wall, hyperfine -N)" "$wov" 20 " ms (CPU: $wovCpu ms)"
    else
        wov=$(awk -v a="$(field wine-launch-tiny zop 3)" -v b="$(field wine-launch-tiny true.exe 3)" 'BEGIN { printf "%.0f", (a - b) * 1000 }')
        cmpGoal "Wine: per-launch overhead ≤ 20 ms over \`wine true.exe\` (median wall, 10 ms resolution)" "$wov" 20 " ms"
    fi
fi
# second ÷ first start of a cache group: median CPU (wall in brackets).
perFirst() {
    local c w
    c=$(awk -v a="$(field "$1" "zop, second start" 6)" -v b="$(field "$1" "zop, first start" 6)" 'BEGIN { if (b > 0) printf "%.3f", a / b }')
    w=$(awk -v a="$(field "$1" "zop, second start" 3)" -v b="$(field "$1" "zop, first start" 3)" 'BEGIN { if (b > 0) printf "%.3f", a / b }')
    echo "$c|$w"
}
if [ "$quick" = 0 ]; then
    if [ -s "$work/hf-python.csv" ]; then
        # CSV rows: the tree directly, then the second start; mean CPU
        # (user + system) and median wall.
        hfp() { awk -F, -v r="$1" -v f="$2" 'NR == r + 1 { print $f }' "$work/hf-python.csv"; }
        cmpGoal "cache: second start of the Python example ≤ 1.2× its unpacked tree started directly (CPU, hyperfine -N, mean of 40)" \
            "$(awk -v a="$(hfp 2 5)" -v b="$(hfp 2 6)" -v c="$(hfp 1 5)" -v d="$(hfp 1 6)" 'BEGIN { if (c + d > 0) printf "%.2f", (a + b) / (c + d) }')" 1.2 \
            "× (wall $(awk -v a="$(hfp 2 4)" -v b="$(hfp 1 4)" 'BEGIN { if (b > 0) printf "%.2f", a / b }')×; $(awk -v a="$(hfp 2 5)" -v b="$(hfp 2 6)" -v c="$(hfp 1 5)" -v d="$(hfp 1 6)" 'BEGIN { printf "%.1f against %.1f ms of CPU", (a + b) * 1000, (c + d) * 1000 }'))"
    elif [ -n "$(field cache-python "zop, second start" 3)" ]; then
        cmpGoal "cache: second start of the Python example ≤ 1.2× its unpacked tree started directly (CPU)" \
            "$(ratioText cache-python "zop, second start")" 1.2 "× (wall $(field cache-python "zop, second start" 9)×)"
    fi
    for W in tree cpython; do
        [ -n "$(field "cache-$W" "zop, first start" 3)" ] || continue
        cmpGoal "cache: first start of *$W* ≤ 1.05× a start with \`ZOP_CACHE=0\` (CPU)" \
            "$(ratioText "cache-$W" "zop, first start")" 1.05 "× (wall $(field "cache-$W" "zop, first start" 9)×)"
    done
    if [ -n "$(field cache-cpython "zop, first start" 3)" ]; then
        IFS='|' read -r pc pw <<<"$(perFirst cache-cpython)"
        cmpGoal "cache: second start of *cpython* ≤ 0.05× its first start (CPU)" "$pc" 0.05 "× (wall ${pw}×)"
    fi
fi
# Peak memory of every native zop row: packing and listing hold a block per
# thread; a parallel launch holds a whole segment's output per inflating
# thread. The Python example's rows measure its interpreter, not zop.
maxKibOf() { awk -F'\t' -v re="$1" '$2 ~ /^zop/ && $1 ~ re && $1 != "cache-python" { if ($15 > m) m = $15 } END { print m + 0 }' "$summary"; }
mibOf() { awk -v k="$1" 'BEGIN { printf "%.2f", k / 1024 }'; }
threads=$(nproc); [ "$threads" -gt 8 ] && threads=8
cmpGoal "peak RSS ≤ 4 MiB + 1 MiB per extra thread natively ($threads threads), every pack and list row" \
    "$(mibOf "$(maxKibOf '^(pack|list)-')")" $((3 + threads)) " MiB (max of those rows)"
cmpGoal "peak RSS ≤ 4 MiB + 2 MiB per extra thread natively ($threads threads), every launch row" \
    "$(mibOf "$(maxKibOf '^(launch|cache|empty)')")" $((2 + 2 * threads)) " MiB (max of those rows)"
if [ -n "$stubWin" ]; then
    cmpGoal "stripped console stub zop.exe ≤ 100 KiB" "$(( (stubWin + 1023) / 1024 ))" 100 " KiB ($stubWin bytes)"
fi

goalTable() {
    echo "| Goal | Measured | Met |"
    echo "|---|---|---|"
    local g
    for g in "${goals[@]}"; do
        IFS='|' read -r a b c <<<"$g"
        echo "| $a | $b | $c |"
    done
}
groupTable() {  # groupTable GROUP TITLE REFERENCE-TEXT
    grep -q "^$1	" "$summary" || return 0
    echo "### $2"
    echo
    echo "Ratios against $3, computed round by round (shown when the reference takes 50 ms or more: /usr/bin/time counts in 10 ms steps)."
    echo
    echo "| Row | Wall s, median (min–max) | CPU s, median (min–max) | × wall, median (min–max) | × CPU, median (min–max) | Peak RSS |"
    echo "|---|---|---|---|---|---|"
    # /usr/bin/time counts in 10 ms steps: ratios of shorter runs mean nothing.
    awk -F'\t' -v g="$1" '$1 == g {
        if (!n++) fine = $3 >= 0.05 && $6 >= 0.05
        rss = $15 >= 10240 ? sprintf("%.0f MiB", $15 / 1024) : sprintf("%.2f MiB", $15 / 1024)
        wr = fine ? sprintf("%.2f (%.2f–%.2f)", $9, $10, $11) : "–"
        cr = fine ? sprintf("%.2f (%.2f–%.2f)", $12, $13, $14) : "–"
        printf "| %s | %.2f (%.2f–%.2f) | %.2f (%.2f–%.2f) | %s | %s | %s |\n",
            $2, $3, $4, $5, $6, $7, $8, wr, cr, rss }' "$summary"
    echo
}
sizeOf() { du -sb "$w/$1" 2>/dev/null | cut -f1; }
version() { "$@" 2>&1 | head -1 | tr -d '\r' || true; }
loadStart=$(cat "$work/load-start.txt" 2>/dev/null || echo unknown)
loadNow=$(cat "$work/load-end.txt" 2>/dev/null || echo unknown)

{
    echo "# Benchmarks"
    echo
    if [ "$quick" = 1 ]; then
        echo "Quick run (*tiny* only, $rounds rounds): a smoke test, not figures to quote."
    else
        echo "Made by \`bench/run-all.sh\` (the full run; \`bench/run-all.sh --quick\` measures *tiny* only)."
    fi
    echo
    echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "- CPU: $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), $(nproc) cores; load average (1, 5, 15 min) $loadStart when measuring started and $loadNow when it ended: the machine is shared, other builds and tests ran meanwhile"
    echo "- Kernel: $(uname -r); $(version ldd --version)"
    echo "- Tools: $(version gcc --version); zlib $(awk '/define ZLIB_VERSION /{ gsub(/"/, "", $3); print $3 }' /usr/include/zlib.h); $(version tar --version)"
    echo "  $(have makeself && version makeself --version)$(have 7z && echo "; $(7z | sed -n 2p | cut -d: -f1)")$(have hyperfine && echo "; $(version hyperfine --version)")$("$winloader" --version >/dev/null 2>&1 && echo "; $(version "$winloader" --version)")$(have makensis && echo "; NSIS $(version makensis -VERSION)")"
    echo "- Stubs (stripped): Linux \`zop\` $stubLinux bytes ($(kib "$zop") KiB)${stubWin:+; \`zop.exe\` $stubWin bytes ($(( (stubWin + 1023) / 1024 )) KiB)}${stubWinw:+; \`zopw.exe\` $stubWinw bytes ($(( (stubWinw + 1023) / 1024 )) KiB)}"
    echo "- Rounds: $rounds per group, the commands of a group interleaved in every round."
    echo
    echo "## Workloads"
    echo
    echo "| Workload | Files | Directories | Bytes | zop packed | tar.gz |"
    echo "|---|---|---|---|---|---|"
    for W in $workloads; do
        echo "| $W | $(find "$w/$W" -type f | wc -l) | $(find "$w/$W" -type d | wc -l) | $(sizeOf "$W") | $(stat -c %s "$w/$W.app") | $(stat -c %s "$w/$W.tgz") |"
    done
    echo
    [ "$quick" = 1 ] || echo "*tree* is this machine's Python${treePython:+ ($treePython)}: interpreter, shared library, standard library without \`__pycache__\`.$([ -f "$w/cpython.packages" ] && echo " *cpython* is Debian's CPython as its packages lay it out, unpacked from the .deb files in this order, symbolic links dropped: $(awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2 }' "$w/cpython.packages").") *big* is \`zlib_floor gen\` output (text-like runs, records, random bytes). Every workload is packed as \`r W\` + \`c true\`."
    echo
    echo "## Goals"
    echo
    echo "CPU time (user + system) decides, being robust under load; wall-clock ratios are given beside it."
    echo
    goalTable
    echo
    echo "## Results"
    echo
    echo "All commands start through \`sh -c\` (the same small cost on every row). The *floor* is \`bench/zlib_floor.c\`: it deflates exactly the entry stream zop writes (checked byte for byte, inflated, before measuring) with bare zlib in one call on one thread, and for launch inflates it back into a fresh directory, runs \`true\` and removes the directory. makeself uses gzip level 6 (its default is 9) and its default MD5/CRC checks; the 7-Zip SFX uses 7-Zip's defaults (LZMA2)."
    echo
    for W in $workloads; do
        groupTable "pack-$W" "Pack *$W*" "the zlib floor"
        groupTable "launch-$W" "Launch *$W* (extract + \`true\` + remove)" "\`tar xzf\` + \`true\` + \`rm -rf\`"
        groupTable "list-$W" "List *$W*" "\`tar tzf\`"
        groupTable "cache-$W" "Cache: *$W* packed with \`o cache\`" "\`ZOP_CACHE=0\` (unpack into TEMP, run, remove)"
    done
    groupTable launch-empty "Launch of 200,000 empty files in one directory (TEMP on tmpfs where /dev/shm is one)" "one thread (\`ZOP_THREADS=1\`)"
    groupTable cache-python "Cache: the Python example (\`examples/python\`, \`o cache\`), started from \`/\`" "its unpacked tree started directly through its loader"
    if [ -s "$overhead" ]; then
        echo "### Per-launch overhead on *tiny*"
        echo
        echo "\`hyperfine -N\`, $( [ "$quick" = 1 ] && echo 30 || echo 200) runs each; overhead = median − median of \`true\`."
        echo
        echo "| Command | Median ms | CPU ms (user + system, mean) | Min ms | Overhead ms (median) | Overhead ms (CPU) |"
        echo "|---|---|---|---|---|---|"
        awk -F, -v t="$(ohd true 2)" -v tc="$(ohd true 3)" \
            '{ printf "| %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", $1, $2, $3, $4, $2 - t, $3 - tc }' "$overhead"
        echo
    fi
    if [ -s "$winraw" ]; then
        echo "## Windows build under Wine ($(version "$winloader" --version), $winarch programs)"
        echo
        echo "The Wine rows include Wine's own start (one persistent wineserver). The floor is the same \`zlib_floor.c\` built for $winarch with mingw-w64; its launch row starts Wine twice (unpack, then \`true.exe\`). The NSIS launcher (zlib, silent) extracts into \`\$PLUGINSDIR\`, runs \`true.exe\` with ExecWait and removes the directory."
        echo
        for W in tree cpython; do
            groupTable "wine-pack-$W" "Wine: pack *$W*" "the $winarch zlib floor"
            groupTable "wine-launch-$W" "Wine: launch *$W*" "the $winarch floor"
        done
        groupTable wine-launch-tiny "Wine: launch *tiny* (per-launch overhead)" "\`wine true.exe\`"
        if [ -s "$work/winoverhead.csv" ]; then
            echo "### Wine: per-launch overhead on *tiny*"
            echo
            echo "\`hyperfine -N\`, 40 runs each; overhead = median − median of \`wine true.exe\`."
            echo
            echo "| Command | Median ms | CPU ms (user + system, mean) | Min ms | Overhead ms (median) | Overhead ms (CPU) |"
            echo "|---|---|---|---|---|---|"
            awk -F, '$1 == "true.exe" { t = $2; tc = $3 } { l[NR] = $0 } END {
                for (i = 1; i <= NR; i++) { split(l[i], f, ",")
                    printf "| wine %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", f[1], f[2], f[3], f[4], f[2] - t, f[3] - tc } }' \
                "$work/winoverhead.csv"
            echo
        fi
    fi
    if [ ${#notes[@]} -gt 0 ]; then
        echo "## Notes"
        echo
        for n in "${notes[@]}"; do echo "- $n"; done
        echo
    fi
    [ "$quick" = 0 ] && [ -f "$here/notes.md" ] && { cat "$here/notes.md"; echo; }
    echo "## Closing note"
    echo
    goalTable
} >"$out"
log "wrote $out"
[ "$quick" = 1 ] && cat "$out"
exit 0
