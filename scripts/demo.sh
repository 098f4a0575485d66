#!/usr/bin/env bash
# Shows the stubs at work: the native Linux stub, and the Windows stubs under
# Wine. A bare stub is the packer: given an empty recipe it writes a packed
# executable with no entries; given a TEMP that does not exist it ends with
# its failure report and exit code 217.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
demo=$(mktemp -d /tmp/zop-demo-XXXXXX)
trap 'rm -rf "$demo"' EXIT
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
: >"$demo/empty.zop"

show() {
  echo "\$ $*"
  set +e
  "$@"
  local code=$?
  set -e
  echo "(exit code $code)"
  echo
}

echo "== Linux stub $build/zop: $(stat -c %s "$build/zop") bytes"
show "$build/zop" "$demo/empty.zop" "$demo/empty"
show env TEMP=/nonexistent "$build/zop"

if [ -f "$build/windows/zop.exe" ]; then
  echo "== Windows console stub $build/windows/zop.exe: $(stat -c %s "$build/windows/zop.exe") bytes (first start of Wine may take a while)"
  show wine "$build/windows/zop.exe" "Z:$demo/empty.zop" "Z:$demo/empty.exe"
  echo "== Windows windowed stub $build/windows/zopw.exe: $(stat -c %s "$build/windows/zopw.exe") bytes"
  show wine "$build/windows/zopw.exe" "Z:$demo/empty.zop" "Z:$demo/emptyw.exe"
  ls -l "$demo"
fi
