#!/usr/bin/env bash
# The Linux build with AddressSanitizer and UndefinedBehaviorSanitizer, and
# the whole unit and end-to-end suite on it:
#   scripts/sanitize.sh [BUILD_DIR]      (default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
# The asan preset of CMakePresets.json, in the build directory given.
cmake --preset asan -B "$build" >/dev/null
cmake --build "$build" -j2
# A finding ends the test's process with a report instead of going on.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Three unit tests provoke a null store, a division by zero and an
# impossible allocation on purpose, to see the program's own fault report;
# in this build the sanitizers take those faults first (that is their job),
# so those three run only in the normal build.
ctest --test-dir "$build" --output-on-failure -j2 \
  -E '^FaultHandlers\.(AccessViolationIsReportedAtTheFaultingInstruction|DivisionByZero|OutOfMemory)$'

