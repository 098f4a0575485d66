#!/bin/sh
# Lays out the Python example for packing in DEST: the recipe, the program in
# app/, and py/ with this machine's CPython (Debian's /usr/bin/python3):
#   py/bin/                  the interpreter (as python3), every shared library that it and
#                            its extension modules load, the dynamic loader
#   py/lib/python3.X/        the standard library and lib-dynload/, without
#                            the test suites, the GUI, ensurepip, config-*
#                            (the static library for embedding) and the
#                            stock __pycache__
# Then the standard library and the program are compiled with
# --invalidation-mode unchecked-hash: unpacking gives every file a new time
# stamp, which makes ordinary (time-stamped) .pyc files stale, so without this
# step every launch compiles every module it imports again.
# Then, in DEST:  zop app.zop shop
#   examples/python/gather.sh [--no-pyc] DEST
# --no-pyc leaves out the compile step (for measuring what it saves).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
compile=1
if [ "${1:-}" = "--no-pyc" ]; then
  compile=0
  shift
fi
dest=${1:?usage: gather.sh [--no-pyc] DEST}
python=/usr/bin/python3
if [ ! -x "$python" ]; then
  echo "gather.sh: $python is not installed (apt-get install python3)" >&2
  exit 1
fi
python=$(readlink -f "$python")            # /usr/bin/python3.11
version=$(basename "$python")              # python3.11
# The interpreter finds its standard library by looking for
# lib/python3.X/os.py above its own directory, whatever its file name.
stdlib=$("$python" -E -s -S -c 'import os; print(os.path.dirname(os.__file__))')
if [ ! -d "$stdlib/lib-dynload" ]; then
  echo "gather.sh: no lib-dynload in $stdlib (a Debian-style layout is expected)" >&2
  exit 1
fi

rm -rf "$dest/app" "$dest/py"
mkdir -p "$dest/py/bin" "$dest/py/lib/$version"
cp "$here/app.zop" "$dest/"
cp -R "$here/app" "$dest/app"
cp -L "$python" "$dest/py/bin/python3"

# The standard library, links followed. sitecustomize.py is Debian's hook for
# site-wide settings, which the recipe's -S never loads; the test modules of
# lib-dynload go with test/.
tar -C "$stdlib" -ch \
  --exclude=./test --exclude=./idlelib --exclude=./tkinter --exclude=./turtledemo \
  --exclude=./ensurepip --exclude='./config-*' --exclude=__pycache__ \
  --exclude=./sitecustomize.py --exclude=./site-packages --exclude=./dist-packages \
  --exclude='./lib-dynload/_test*' --exclude='./lib-dynload/_ctypes_test*' \
  --exclude='./lib-dynload/_xxtestfuzz*' --exclude='./lib-dynload/xxlimited*' . |
  tar -C "$dest/py/lib/$version" -x

# Every library the interpreter and its extension modules load, and the
# loader. ldd prints "name => /path (addr)" for libraries and "/path (addr)"
# for the loader; both kinds are copied under their own file names.
for binary in "$python" "$dest/py/lib/$version/lib-dynload"/*.so; do
  ldd "$binary"
done | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' | sort -u |
  while read -r lib; do
    cp -L "$lib" "$dest/py/bin/$(basename "$lib")"
  done
# The recipe names the loader of x86-64 Linux; other machines need their own.
test -f "$dest/py/bin/ld-linux-x86-64.so.2" || {
  echo "gather.sh: no ld-linux-x86-64.so.2 (this example is for x86-64)" >&2
  exit 1
}

if [ "$compile" = 1 ]; then
  # Hash-based .pyc files that are never checked against their source: valid
  # whatever time stamps the unpacked files get. -q: errors only. lib2to3's
  # test data holds files that do not compile on purpose (-x skips them).
  "$python" -E -s -S -m compileall -q -j 0 --invalidation-mode unchecked-hash \
    -x '/lib2to3/tests/' "$dest/py/lib/$version" "$dest/app" >/dev/null
fi
