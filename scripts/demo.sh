#!/usr/bin/env bash
# Shows zop at work on the bundled examples, in a scratch directory that is
# removed at the end:
#   - the Lua application (examples/lua: Debian's lua5.4 with its libraries
#     and a script tree) packed by the Linux stub, listed and run; the shell
#     example examples/hello when lua5.4 is not installed;
#   - the batch application (examples/hello-windows) packed for Windows by the
#     same Linux stub through ZOP_EXE, listed and run under Wine, when the
#     build has the Windows stubs and Wine is installed.
#   scripts/demo.sh [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
zop=$build/zop
demo=$(mktemp -d /tmp/zop-demo-XXXXXX)
trap 'rm -rf "$demo"' EXIT
export TEMP=$demo/temp
mkdir -p "$TEMP" "$demo/somewhere"

# Echoes a command as it would be typed (arguments with blanks or quotes in
# single quotes), runs it, and shows its exit code.
show() {
  local shown="\$" word
  for word in "$@"; do
    case "$word" in
      *[[:space:]\"\']*|'') shown+=" '${word//\'/\'\\\'\'}'" ;;
      *) shown+=" $word" ;;
    esac
  done
  echo "$shown"
  set +e
  "$@"
  local code=$?
  set -e
  echo "(exit code $code)"
  echo
}

work_dirs_left() {
  local left
  left=$(ls -A "$TEMP")
  echo "work directories left in TEMP: ${left:-none}"
  echo
}

echo "== The Linux stub $zop ($(stat -c %s "$zop") bytes) is the packer"
if command -v lua5.4 >/dev/null; then
  "$root/examples/lua/gather.sh" "$demo/lua"
  cd "$demo/lua"
  echo "Packing examples/lua: lua5.4, $(ls bin | wc -l) files in bin/, the scripts in app/"
  show cat app.zop
  show "$zop" app.zop lua-app
  ls -l lua-app
  echo
  show ./lua-app --zop-list
  cd "$demo/somewhere"
  echo "== Running it from another directory"
  show "$demo/lua/lua-app" "hello world" 'say "hi"' zop
else
  echo "(lua5.4 is not installed: showing the shell example instead)"
  cp -R "$root/examples/hello" "$demo/hello"
  cd "$demo/hello"
  show cat app.zop
  show "$zop" app.zop hello.out
  show ./hello.out --zop-list
  cd "$demo/somewhere"
  show "$demo/hello/hello.out" Alice "Bob Smith"
fi
work_dirs_left

if [ -f "$build/windows/zop.exe" ] && wine --version >/dev/null 2>&1; then
  export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  echo "== Packing examples/hello-windows for Windows with the Linux stub (ZOP_EXE)"
  cp -R "$root/examples/hello-windows" "$demo/hello-windows"
  cd "$demo/hello-windows"
  show cat app.zop
  show env ZOP_EXE="$build/windows/zop.exe" "$zop" app.zop hello.exe
  echo "== Under Wine (its first start in a new prefix takes a while)"
  show wine hello.exe --zop-list
  cd "$demo/somewhere"
  show wine "$demo/hello-windows/hello.exe" Alice "Bob Smith"
else
  echo "(no Windows stubs in $build/windows or no Wine: the Windows part is left out)"
fi
