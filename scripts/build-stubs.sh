#!/usr/bin/env bash
# Builds only the stubs, quietly: the Linux stub zop and, when the build has
# the Windows trees, zop.exe and zopw.exe (32-bit) and zop64.exe and
# zopw64.exe (x86-64). Compiler output goes to
# BUILD_DIR/stubs.log, which is shown only when something fails; on success
# one line per stub is printed. The tests are not built (make test does that).
#   scripts/build-stubs.sh [BUILD_DIR] [JOBS]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
jobs=${2:-2}
mkdir -p "$build"
build=$(cd "$build" && pwd)
log=$build/stubs.log

# Runs a build step with its output into the log; on failure shows the log.
quietly() {
  if ! "$@" >>"$log" 2>&1; then
    cat "$log" >&2
    echo "build-stubs: failed: $*  (full output above, and in $log)" >&2
    exit 1
  fi
}

stubLine() {
  printf '  %-34s %-26s %7d bytes\n' "${1#"$root"/}" "$2" "$(stat -c %s "$1")"
}

: >"$log"
if [ ! -f "$build/zop" ]; then
  echo "Building the stubs in ${build#"$root"/}/ (the first build takes a few minutes; output in ${log#"$root"/})"
fi
quietly cmake -S "$root" --preset release -B "$build"
quietly cmake --build "$build" --target zop -j"$jobs"
stubLine "$build/zop" "Linux x86-64"

# The Windows trees are external projects of the native build: configure
# each through the native build, then build just its two stubs.
if grep -q '^ZOP_WINDOWS:BOOL=ON$' "$build/CMakeCache.txt"; then
  quietly cmake --build "$build" --target windows-configure -j"$jobs"
  quietly cmake --build "$build/windows" --target zop zopw -j"$jobs"
  stubLine "$build/windows/zop.exe" "Windows 32-bit, console"
  stubLine "$build/windows/zopw.exe" "Windows 32-bit, windowed"
  quietly cmake --build "$build" --target windows-x86_64-configure -j"$jobs"
  quietly cmake --build "$build/windows-x86_64" --target zop zopw -j"$jobs"
  stubLine "$build/windows-x86_64/zop64.exe" "Windows x86-64, console"
  stubLine "$build/windows-x86_64/zopw64.exe" "Windows x86-64, windowed"
fi
