#!/usr/bin/env bash
# Runs the shell blocks of README.md and of the guides in docs/ (in that
# order: later blocks use what earlier ones made) that are marked for testing, as a new
# user would type them from the top of a clone: in order, each in its own
# shell starting in a scratch copy of the clone's examples/ with build/
# pointing at the build. A block fails the check when any command in it fails.
#   <!-- readme-test -->        the next ```sh block always runs
#   <!-- readme-test wine -->   it runs when the build has the Windows stubs
#   tests/readme/check_readme.sh SOURCE_DIR BUILD_DIR [ZOP_WINDOWS (ON/OFF)]
set -euo pipefail
source=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
case "${3:-OFF}" in
  ON|on|1|TRUE|true|YES|yes) windows=1 ;;
  *) windows=0 ;;
esac
# The blocks run the shipped 32-bit stubs: on a machine that cannot execute
# 32-bit code (its tests use 64-bit Windows programs instead) they are skipped.
# Debian's wine wrapper answers for 64-bit Wine when 32-bit Wine is missing:
# ask the 32-bit loader itself.
if [ "$windows" -eq 1 ] && ! { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  echo "check_readme: this machine cannot run 32-bit Windows programs; Wine blocks skipped"
  windows=0
fi

work=$(mktemp -d /tmp/zop-readme-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp -R "$source/examples" "$work/examples"
ln -s "$build" "$work/build"
mkdir -p "$work/home" "$work/temp"
export HOME=$work/home TEMP=$work/temp XDG_CACHE_HOME=$work/home/.cache
unset ZOP_CACHE_DIR
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Splits the marked blocks into files 1.sh, 2.sh, ... (a first line "#wine"
# marks the blocks that need Wine). A block marked
#   <!-- readme-output -->
# after a tested one is what that one prints on standard output (CR LF line
# ends compared as LF): it goes into N.expected.
awk -v dir="$work" '
  /^<!-- readme-test( wine)? -->$/ { marked = 1; wine = ($0 ~ /wine/); next }
  /^<!-- readme-output -->$/ { output = 1; next }
  marked && /^```sh$/ { n++; file = dir "/" n ".sh"; print (wine ? "#wine" : "#") > file; inside = 1; marked = 0; next }
  output && /^```/ { file = dir "/" n ".expected"; printf "" > file; inside = 1; output = 0; next }
  inside && /^```$/ { inside = 0; close(file); next }
  inside { print > file; next }
  /^$/ { next }
  { marked = 0; output = 0 }
' "$source/README.md" "$source/docs/guide.md" "$source/docs/python.md"

ran=0
skipped=0
for number in $(seq 1 "$(ls "$work" | grep -c '\.sh$')"); do
  block=$work/$number.sh
  if [ "$(head -n 1 "$block")" = "#wine" ] && [ "$windows" -eq 0 ]; then
    skipped=$((skipped + 1))
    continue
  fi
  echo "--- README block $(basename "$block" .sh):"
  sed 1d "$block"
  if ! (cd "$work" && bash -eo pipefail "$block") >"$work/out" 2>"$work/err"; then
    cat "$work/out" "$work/err"
    echo "check_readme: the README block above failed" >&2
    exit 1
  fi
  expected=${block%.sh}.expected
  if [ -f "$expected" ] && ! diff -u "$expected" <(tr -d '\r' <"$work/out"); then
    echo "check_readme: the README block above printed something else than the README shows" >&2
    exit 1
  fi
  ran=$((ran + 1))
done
[ "$ran" -gt 0 ] || { echo "check_readme: no marked block found in README.md" >&2; exit 1; }
echo "check_readme: $ran README blocks ran, $skipped skipped"
