#!/bin/sh
# Lays out the Python example for packing in DEST: the recipe, the program in
# app/, and py/ with this machine's CPython (Debian's /usr/bin/python3):
#   py/bin/                  the interpreter (as python3), every shared
#                            library that it and its extension modules load,
#                            the dynamic loader
#   py/lib/python3.X/        the standard library and lib-dynload/, without
#                            the test suites, the GUI, ensurepip, config-*
#                            (the static library for embedding) and the
#                            stock __pycache__
# Then the standard library and the program are compiled with
# --invalidation-mode unchecked-hash: unpacking gives every file a new time
# stamp, which makes ordinary (time-stamped) .pyc files stale, so that every
# launch would compile every module it imports again. The standard library
# keeps only its .pyc files, each in place of its source: every launch
# unpacks the whole tree, and sources beside the .pyc files would cost more
# to unpack than they save. The program keeps its sources (for tracebacks),
# with its .pyc files in __pycache__.
# Then, in DEST:  zop app.zop shop
#   examples/python/gather.sh [--with-sources | --no-pyc] DEST
# --with-sources keeps the standard library's sources beside its .pyc files;
# --no-pyc leaves out the compile step (both for measuring what they cost).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
compile=1
sources=0
case "${1:-}" in
  --no-pyc) compile=0; shift ;;
  --with-sources) sources=1; shift ;;
esac
dest=${1:?usage: gather.sh [--with-sources | --no-pyc] DEST}
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
  --exclude=./ensurepip --exclude='./config-*' --exclude=__pycache__ --exclude=./lib2to3/tests \
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

# Hash-based .pyc files that are never checked against their source: valid
# whatever time stamps the unpacked files get. -q: errors only; -b: the .pyc
# in place of its source (module.pyc beside where module.py was).
compileTree() {
  "$python" -E -s -S -m compileall -q -j 0 --invalidation-mode unchecked-hash "$@" >/dev/null
}
if [ "$compile" = 1 ]; then
  if [ "$sources" = 1 ]; then
    compileTree "$dest/py/lib/$version"
  else
    compileTree -b "$dest/py/lib/$version"
    find "$dest/py/lib/$version" -name '*.py' -exec sh -c \
      'for source; do if [ -f "${source}c" ]; then rm "$source"; fi; done' sh {} +
  fi
  compileTree "$dest/app"
fi
