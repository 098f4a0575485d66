#!/usr/bin/env bash
# Makes the seed corpora of the fuzz targets with the real packer:
#   fuzz/make-seeds.sh STUB OUTDIR
# STUB is a native bare stub (build/zop). OUTDIR gets container/, gzip/,
# recipe/ and segindex/: packed executables of a few recipes (their stub part replaced by a
# tiny stand-in so that inputs stay small: the packer itself takes only a
# real stub), their entry streams, the recipes themselves, and stream areas that end
# in a segment index (little-endian fields written with printf).
set -euo pipefail
stub=$(realpath "$1")
out=$(realpath -m "$2")
mkdir -p "$out/container" "$out/gzip" "$out/recipe" "$out/segindex"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p tree/sub/deeper tree/empty temp
printf 'alpha\n' > tree/a.txt
head -c 3000 /dev/zero | tr '\0' 'x' > tree/sub/b.bin
: > tree/sub/deeper/.hidden

recipes=(
  ''
  $'# only a comment\n'
  $'f a.txt\n'
  $'d bin\nf a.txt\nc echo %parms%\nt run %tempdir%\\a.txt %quotedparms%\n'
  $'r sub\n'
  $'d x\r\nr empty\r\nf sub/b.bin\r\nc "prog" \'a b\' ""\r\n'
)
i=0
for recipe in "${recipes[@]}"; do
  printf '%s' "$recipe" > "$out/recipe/seed$i.zop"
  cp "$out/recipe/seed$i.zop" tree/recipe.zop
  (cd tree && TEMP="$work/temp" "$stub" recipe.zop "$work/whole$i" >/dev/null)
  # The entry stream: the bytes between the stub and the 520-byte trailer.
  size=$(stat -c %s "whole$i")
  gz=$(od -An -t d4 -j $((size - 264)) -N 4 "whole$i" | tr -d ' ')
  { printf 'STUB'; tail -c $((gz + 520)) "whole$i"; } > "$out/container/seed$i"
  tail -c $((gz + 520)) "whole$i" | head -c "$gz" > "$out/gzip/seed$i.gz"
  i=$((i + 1))
done
# gzip's own members, with a file name and other header fields.
gzip -c tree/a.txt > "$out/gzip/named.gz"
printf '' | gzip -c > "$out/gzip/empty.gz"
# A member's worth of zeros followed by an index of two segments (1 MiB
# each, starting at 10 and 4000), and the same area with the count spoiled.
le32() { printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
le64() { le32 "$1"; le32 0; }
index() {  # count
  head -c 5000 /dev/zero
  printf "$(le32 1048576)$(le32 "$1")$(le64 10)$(le64 4000)$(le32 36)zopsegix"
}
index 2 > "$out/segindex/two"
index 3 > "$out/segindex/spoiled"
