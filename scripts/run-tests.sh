#!/usr/bin/env bash
# Runs every test of a build through CTest: scripts/run-tests.sh BUILD JOBS.
#
# Wine under load sometimes fails inside its own process start (Wine ends
# with exit code 1 before the program ran; CreateProcess fails with error
# 1359, ERROR_INTERNAL_ERROR). A test that ran under Wine and failed is
# therefore run once more, alone; it counts as passed only if that second run
# passes, and the summary names it. A failure of any other test, or a
# second failure, fails the run.
set -uo pipefail
build=${1:?build directory}
jobs=${2:-2}

ctest --test-dir "$build" --output-on-failure -j"$jobs" && exit 0

failed="$build/Testing/Temporary/LastTestsFailed.log"
[[ -s $failed ]] || exit 1
# Lines look like "455:Platforms/RunTest.Name/windows".
underWine='^[0-9]+:(.*/windows|windows_unit_tests)$'
if grep -qvE "$underWine" "$failed"; then
    echo "run-tests: a test outside Wine failed; not run again" >&2
    exit 1
fi
names=$(cut -d: -f2- "$failed")
echo "run-tests: failed under Wine, running each once more alone:" >&2
echo "$names" | sed 's/^/  /' >&2
ctest --test-dir "$build" --output-on-failure --rerun-failed -j1 || exit 1
echo "run-tests: passed at the second run under Wine (flaky):" >&2
echo "$names" | sed 's/^/  /' >&2
