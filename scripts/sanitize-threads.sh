#!/usr/bin/env bash
# The Linux build with ThreadSanitizer, and the cases that run more than one
# thread on it: the ordered queue and the thread service, the block deflater
# (packing on worker threads), the segment reader (inflating on worker
# threads), the work directory's removal on worker threads, and launches
# whose files the writer threads create, fail or are stopped in:
#   scripts/sanitize-threads.sh [BUILD_DIR]      (default build-tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-tsan}
# The tsan preset of CMakePresets.json, in the build directory given.
cmake --preset tsan -B "$build" >/dev/null
cmake --build "$build" -j2
# A race or a lock-order inversion fails the process that shows it. A
# launcher stopped by a request ends without joining its writer threads (one
# may be held up for good in a call that does not return), so the leak of a
# thread at the end is no finding.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:report_thread_leaks=0}
unit='OrderedQueue|WriterPool|ThreadsPosix|BlockDeflate|SegmentReader|RemoveTree'
e2e='ManyFilesComeOutWholeWhateverTheThreadCount|FailuresAmongWriterThreads|SameRecipeTwiceGivesIdenticalOutputs|LaunchOntoAFullDisk|StopSignalsWhileUnpacking|WorkDirectoryIsRemovedWith|LinksAreRemovedWithout'
ctest --test-dir "$build" --output-on-failure -j2 -R "$unit|$e2e"
