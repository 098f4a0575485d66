#!/usr/bin/env bash
# Figures of the Python example (examples/python), as the guide's section
# "Packing a Python application" quotes them:
#   - sizes: the gathered tree, the packed executable, its entries;
#   - pack time (zop app.zop shop);
#   - launch time of the packed shop: as gather.sh lays it out (the standard
#     library as hash-based .pyc files that stay valid after unpacking, in
#     place of the sources); with the sources kept beside the .pyc files
#     (--with-sources); with ordinary time-stamped .pyc files instead
#     (compileall's default: stale after unpacking); with no .pyc files at
#     all (--no-pyc); with the pruned directories (config-*, test/) put back;
#     against this machine's python3 running the program
#     directly, and the gathered interpreter started through its loader
#     without zop;
#   - the packed shop with TEMP on a tmpfs and on disk.
# Every launch prices the same two items; times are medians over N rounds,
# the commands interleaved round by round (one warm-up round first); CPU is
# user + system of the launch and its children, which a busy machine
# disturbs far less than wall time.
#   bench/python-example.sh [--build DIR] [--runs N] [--work DIR] [--tmpfs DIR]
# --work is the disk scratch directory (default /var/tmp/zop-pybench); --tmpfs
# a directory on a tmpfs (default /dev/shm); each must not be the other kind.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=$root/build
runs=20
work=/var/tmp/zop-pybench
tmpfs=/dev/shm
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift ;;
    --runs) runs=$2; shift ;;
    --work) work=$2; shift ;;
    --tmpfs) tmpfs=$2; shift ;;
    *) echo "usage: $0 [--build DIR] [--runs N] [--work DIR] [--tmpfs DIR]" >&2; exit 2 ;;
  esac
  shift
done
zop=$(cd "$build" && pwd)/zop
python=/usr/bin/python3
[ -x "$zop" ] || { echo "python-example: no stub $zop (make stubs)" >&2; exit 1; }
[ -x "$python" ] || { echo "python-example: no $python (apt-get install python3)" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/temp"
diskTemp=$work/temp
tmpfsTemp=$(mktemp -d "$tmpfs/zop-pybench-XXXXXX")
trap 'rm -rf "$tmpfsTemp"' EXIT
[ "$(stat -f -c %T "$tmpfsTemp")" = tmpfs ] || echo "python-example: note: $tmpfs is not a tmpfs" >&2
[ "$(stat -f -c %T "$diskTemp")" != tmpfs ] || echo "python-example: note: $work is on a tmpfs" >&2

echo "gathering five variants in $work ..." >&2
gather=$root/examples/python/gather.sh
"$gather" "$work/pyc"
"$gather" --with-sources "$work/sources"
"$gather" --no-pyc "$work/nopyc"
"$gather" --no-pyc "$work/stamped"
"$python" -E -s -S -m compileall -q -j 0 --invalidation-mode timestamp "$work/stamped/py" "$work/stamped/app" >/dev/null
# Not pruned: the biggest of what gather.sh leaves out, put back as it is.
"$gather" "$work/full"
stdlib=$("$python" -E -s -S -c 'import os; print(os.path.dirname(os.__file__))')
for dir in "$stdlib"/config-* "$stdlib/test"; do
  if [ -d "$dir" ]; then cp -RL "$dir" "$work/full/py/lib/$(basename "$stdlib")/"; fi
done

export ZOP=$zop PYTHON=$python WORK=$work RUNS=$runs DISK_TEMP=$diskTemp TMPFS_TEMP=$tmpfsTemp
"$python" -E -s -S - <<'EOF'
import os, resource, statistics, subprocess, time

zop, python, work, runs = os.environ["ZOP"], os.environ["PYTHON"], os.environ["WORK"], int(os.environ["RUNS"])
disk, tmpfs = os.environ["DISK_TEMP"], os.environ["TMPFS_TEMP"]
items = ["apple", "3 green tea"]
expected = "The corner shop\n  1 x apple               0.40\n  3 x green tea           9.60\n4 items, total 10.00 EUR\n"


def timed(command, cwd, temp, launch):
    """Runs command once; returns (wall ms, CPU ms). A launch must print the
    receipt; nothing may stay in TEMP. The cache is off (ZOP_CACHE=0): these
    figures price unpacking the layouts at every start."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    result = subprocess.run(command, cwd=cwd, env=dict(os.environ, TEMP=temp, ZOP_CACHE="0"), capture_output=True, text=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if result.returncode != 0 or (launch and result.stdout != expected):
        raise SystemExit(f"python-example: {command} failed ({result.returncode}): {result.stdout}{result.stderr}")
    if os.listdir(temp):
        raise SystemExit(f"python-example: {command} left {os.listdir(temp)} in {temp}")
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return wall * 1000, cpu * 1000


def rounds(rows, count, launch=True):
    """rows: (label, command, cwd, temp); medians of count interleaved rounds."""
    samples = {label: [] for label, *_ in rows}
    for round_ in range(count + 1):
        for label, command, cwd, temp in rows:
            sample = timed(command, cwd, temp, launch)
            if round_ > 0:
                samples[label].append(sample)
    return {label: (statistics.median(w for w, _ in s), statistics.median(c for _, c in s))
            for label, s in samples.items()}


def tree_bytes(top):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(top) for f in files)


def files_in(top):
    return sum(len(files) for _, _, files in os.walk(top))


# Packing: each variant once for its size; the pyc variant over several rounds.
packed = {}
for variant in ("pyc", "sources", "stamped", "nopyc", "full"):
    subprocess.run([zop, "app.zop", "shop"], cwd=f"{work}/{variant}", env=dict(os.environ, TEMP=disk), check=True)
    packed[variant] = f"{work}/{variant}/shop"
pack = rounds([("pack", [zop, "app.zop", "shop"], f"{work}/pyc", disk)], max(3, runs // 4), launch=False)["pack"]

print("| Variant | Files | Tree | Packed |")
print("|---|---|---|---|")
for variant, text in (("pyc", "gather.sh: hash-based .pyc in place of the sources"),
                      ("sources", "hash-based .pyc beside the sources (--with-sources)"),
                      ("stamped", "time-stamped .pyc beside the sources"),
                      ("nopyc", "sources only (--no-pyc)"),
                      ("full", "as gather.sh, with config-* and test/ put back")):
    print(f"| {text} | {files_in(f'{work}/{variant}/py') + files_in(f'{work}/{variant}/app')} "
          f"| {tree_bytes(f'{work}/{variant}/py') / 1e6:.1f} MB | {os.path.getsize(packed[variant]) / 1e6:.1f} MB |")
print()
print(f"Packing the gather.sh layout: {pack[0]:.0f} ms wall, {pack[1]:.0f} ms CPU (median of {max(3, runs // 4)}).")
print()

other = f"{work}/temp-other"
os.makedirs(other, exist_ok=True)
loader = f"{work}/pyc/py/bin/ld-linux-x86-64.so.2"
rows = [
    ("python3 directly (`/usr/bin/python3 -E -s -S main.py`)",
     [python, "-E", "-s", "-S", f"{work}/pyc/app/main.py", *items], work, other),
    ("the gathered interpreter through its loader, no zop",
     [loader, "--library-path", f"{work}/pyc/py/bin", f"{work}/pyc/py/bin/python3", "-E", "-s", "-S",
      f"{work}/pyc/app/main.py", *items], work, other),
    ("packed as gather.sh lays it out, TEMP on tmpfs", [packed["pyc"], *items], work, tmpfs),
    ("packed as gather.sh lays it out, TEMP on disk", [packed["pyc"], *items], work, disk),
    ("packed with hash-based .pyc beside the sources, TEMP on disk", [packed["sources"], *items], work, disk),
    ("packed with time-stamped .pyc beside the sources, TEMP on disk", [packed["stamped"], *items], work, disk),
    ("packed with sources only, TEMP on disk", [packed["nopyc"], *items], work, disk),
    ("packed with config-* and test/ put back, TEMP on disk", [packed["full"], *items], work, disk),
]
results = rounds(rows, runs)
print(f"| Launch (`shop {' '.join(repr(i) if ' ' in i else i for i in items)}`) | Wall | CPU |")
print("|---|---|---|")
for label, *_ in rows:
    wall, cpu = results[label]
    print(f"| {label} | {wall:.0f} ms | {cpu:.0f} ms |")
print()
print(f"Medians of {runs} interleaved rounds; load average at the end: "
      f"{os.getloadavg()[0]:.1f} on {os.cpu_count()} cores.")
EOF
