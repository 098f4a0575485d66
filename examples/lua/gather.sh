#!/bin/sh
# Lays out the Lua example for packing in DEST: the recipe, the script tree
# and bin/ with this machine's lua5.4, every shared library it loads and the
# dynamic loader. Then, in DEST:  zop app.zop lua-app
#   examples/lua/gather.sh DEST
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: gather.sh DEST}
lua=$(command -v lua5.4 || true)
if [ -z "$lua" ]; then
  echo "gather.sh: lua5.4 is not installed (apt-get install lua5.4)" >&2
  exit 1
fi

mkdir -p "$dest/bin"
cp "$here/app.zop" "$dest/"
rm -rf "$dest/app"
cp -R "$here/app" "$dest/app"
cp -L "$lua" "$dest/bin/lua5.4"
# ldd prints "name => /path (addr)" for libraries and "/path (addr)" for the
# loader; both kinds are copied under their own file names.
ldd "$lua" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
  while read -r lib; do
    cp -L "$lib" "$dest/bin/$(basename "$lib")"
  done
# The recipe names the loader of x86-64 Linux; other machines need their own.
test -f "$dest/bin/ld-linux-x86-64.so.2" || {
  echo "gather.sh: no ld-linux-x86-64.so.2 (this example is for x86-64)" >&2
  exit 1
}
