#!/usr/bin/env bash
# Shows zop at work on the bundled examples, in a scratch directory that is
# removed at the end: packing, listing, running from another directory, a
# failure and its report, taking a packed file apart and packing it again,
# the Python and Lua applications with their own interpreters (when python3
# and lua5.4 are installed), and a Windows application packed by the Linux
# stub and run under Wine, once with the 32-bit and once with the 64-bit
# stub (when the build has the Windows stubs and Wine is installed). Needs only the stubs (scripts/build-stubs.sh builds them).
#   scripts/demo.sh [BUILD_DIR]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
demo=$(mktemp -d /tmp/zop-demo-XXXXXX)
trap 'rm -rf "$demo"' EXIT
export TEMP=$demo/temp
# The stub is called as an installed one would be: by its name.
export PATH="$build:$PATH"
mkdir -p "$TEMP" "$demo/elsewhere"

# Echoes a command as it would be typed (arguments with blanks or quotes in
# single quotes), runs it, and shows its exit code when that is not 0.
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
  if [ "$code" -ne 0 ]; then
    echo "(exit code $code)"
  fi
}

# The recipe without its comment lines.
showRecipe() {
  echo "\$ grep -v '^#' app.zop"
  grep -v '^#' app.zop
}

section() {
  echo
  echo "== $*"
}

workDirsLeft() {
  local left
  left=$(ls -A "$TEMP")
  echo "(work directories left in TEMP: ${left:-none})"
}

sizeOf() {
  echo "($1: $(stat -c %s "$1") bytes)"
}

section "1. A bare stub is the packer: a recipe and a tree become one executable"
cp -R "$root/examples/hello" "$demo/hello"
cd "$demo/hello"
showRecipe
show zop app.zop hello
sizeOf hello
show ./hello --zop-list

section "2. The packed file runs anywhere: it unpacks into TEMP, runs, cleans up"
cd "$demo/elsewhere"
show "$demo/hello/hello" Alice "Bob Smith"
workDirsLeft

section "3. A failure: exit code 217 and a report; line 2 says what went wrong"
show zop no-such-recipe.zop out
echo "(the \$ lines are code addresses for zop's developers; the work directory"
echo " stays in TEMP for inspection: $(ls -A "$TEMP" | paste -sd ' '))"
rm -rf "${TEMP:?}"/zop.*

section "4. --zop-justextract takes it apart into an (empty!) directory; packing again"
mkdir "$demo/apart"
cd "$demo/apart"
show "$demo/hello/hello" --zop-justextract
show ls
show ./zop app.zop again
echo "\$ cmp again ../hello/hello   # silent when the bytes are the same"
if cmp again "$demo/hello/hello"; then
  echo "(same bytes)"
fi

if [ -x /usr/bin/python3 ]; then
  section "5. A Python application with its own interpreter (examples/python)"
  echo "(gather.sh copies Debian's CPython into py/ and compiles it: a few seconds)"
  "$root/examples/python/gather.sh" "$demo/python"
  cd "$demo/python"
  showRecipe
  start=$(date +%s%N)
  show zop app.zop shop
  # On a terminal the packer says itself what it packed ("zop: packed ...");
  # a demo whose output goes to a file says it here.
  if [ ! -t 2 ]; then
    echo "(packed in $(( ($(date +%s%N) - start) / 1000000 )) ms; $(./shop --zop-list | wc -l) entries, $(stat -c %s shop) bytes)"
  fi
  cd "$demo/elsewhere"
  show "$demo/python/shop" apple "3 green tea" 'say "hi"'
  workDirsLeft
else
  section "5. (no /usr/bin/python3: the Python example is left out)"
fi

if command -v lua5.4 >/dev/null; then
  section "6. A Lua application with its own interpreter (examples/lua)"
  "$root/examples/lua/gather.sh" "$demo/lua"
  cd "$demo/lua"
  showRecipe
  show zop app.zop lua-app
  cd "$demo/elsewhere"
  show "$demo/lua/lua-app" "hello world" 'say "hi"'
else
  section "6. (lua5.4 is not installed: the Lua example is left out)"
fi

if [ -f "$build/windows/zop.exe" ] && wine --version >/dev/null 2>&1; then
  section "7. A Windows application, packed on Linux (ZOP_EXE), run under Wine"
  export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  cp -R "$root/examples/hello-windows" "$demo/hello-windows"
  cd "$demo/hello-windows"
  showRecipe
  show env ZOP_EXE="$build/windows/zop.exe" zop app.zop hello.exe
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "(Wine sets up its prefix $WINEPREFIX first: up to a minute)"
    wineboot -i >/dev/null 2>&1 || true
  fi
  cd "$demo/elsewhere"
  show wine "$demo/hello-windows/hello.exe" Alice "Bob Smith"
  workDirsLeft
  if [ -f "$build/windows-x86_64/zop64.exe" ]; then
    echo "(the same application for 64-bit Windows: the stub zop64.exe)"
    cd "$demo/hello-windows"
    show env ZOP_EXE="$build/windows-x86_64/zop64.exe" zop app.zop hello64.exe
    cd "$demo/elsewhere"
    show wine "$demo/hello-windows/hello64.exe" Alice
    workDirsLeft
  fi
else
  section "7. (no Windows stubs in $build/windows or no working Wine: the Windows example is left out)"
fi

section "Next steps"
cat <<EOF
- The stubs: $build/zop (Linux)$([ -f "$build/windows/zop.exe" ] && printf ', %s/windows/zop.exe and zopw.exe (Windows, 32-bit)' "$build")$([ -f "$build/windows-x86_64/zop64.exe" ] && printf ', %s/windows-x86_64/zop64.exe and zopw64.exe (Windows, 64-bit)' "$build").
- Install them: cmake --install $build --prefix ~/.local
  (zop in ~/.local/bin, the four Windows stubs in ~/.local/share/zop/).
- Pack your own directory: write a recipe, e.g. app.zop with the two lines
    r myapp
    c "%tempdir1%/myapp/run.sh" %args%
  and run  zop app.zop myapp.bin  in the directory that holds myapp/.
- README.md is the front door, docs/guide.md the guide (recipes, placeholders, failures), docs/python.md
  packing Python; make test runs every test.
EOF
