#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time:
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 20; CI uses that)
# Longer by hand, e.g. scripts/fuzz.sh 3600. Corpora grow in
# build-fuzz/corpus/<target> from run to run; a crash leaves its input in
# build-fuzz/ (crash-*) and fails the script. FUZZ_BUILD and STUB_BUILD
# choose the build directories (default build-fuzz and build, where the
# native stub that makes the seed corpora is built).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
fuzz_build=$(realpath -m "${FUZZ_BUILD:-build-fuzz}")
stub_build=${STUB_BUILD:-build}

# clang and its fuzzer runtime, installed only when missing.
need=()
for p in clang libclang-rt-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || need+=("$p")
done
if [ ${#need[@]} -ne 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${need[@]}" </dev/null
fi

# The fuzz preset of fuzz/CMakePresets.json (clang), in the build directory given.
cmake -S fuzz --preset fuzz -B "$fuzz_build" >/dev/null
cmake --build "$fuzz_build" -j2
if [ ! -x "$stub_build/zop" ]; then
  cmake --preset release -B "$stub_build" -DZOP_WINDOWS=OFF >/dev/null
  cmake --build "$stub_build" -j2 --target zop
fi
fuzz/make-seeds.sh "$stub_build/zop" "$fuzz_build/seeds"

root=$PWD
failed=0
run_target() {  # target dictionary seed-directory
  local target=$1 dict=$2 seeds=$3 log="$fuzz_build/$1.log"
  mkdir -p "$fuzz_build/corpus/$target"
  if (cd "$fuzz_build" && "./$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -max_len=8192 -print_final_stats=1 -dict="$root/fuzz/$dict" \
        "corpus/$target" "seeds/$seeds") >"$log" 2>&1; then
    echo "fuzz: $target: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') executions in ${seconds}s, no finding"
  else
    echo "fuzz: $target FAILED; its log follows"
    tail -n 60 "$log"
    failed=1
  fi
}
run_target fuzz_container container.dict container
run_target fuzz_gzread gzip.dict gzip
run_target fuzz_recipe recipe.dict recipe
run_target fuzz_segindex segindex.dict segindex
exit $failed
