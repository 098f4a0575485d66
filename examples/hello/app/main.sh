#!/bin/sh
# Greets every argument it is given and counts the words in the packed data.
here=$(dirname "$0")
. "$here/lib/greet.sh"
if [ $# -eq 0 ]; then
  greet "world"
fi
for name in "$@"; do
  greet "$name"
done
echo "packed data: $(wc -w < "$here/lib/words.txt") words"
