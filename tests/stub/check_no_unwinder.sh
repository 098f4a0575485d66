#!/usr/bin/env bash
# Fails when a stub links the C++ exception machinery: any _Unwind_* symbol
# pulled in, or defined in the image, by the linker map the build keeps
# beside each stub. src/runtime/failure/minimal_cxx_runtime.cpp keeps it out (with
# the unwinder the Linux stub grows by about half); the shipped stubs are
# stripped, so their map is what still tells.
#   tests/stub/check_no_unwinder.sh MAP...
set -euo pipefail
status=0
for map in "$@"; do
  if [ ! -s "$map" ]; then
    echo "check_no_unwinder: no linker map $map" >&2
    status=1
    continue
  fi
  # Sections the linker dropped are listed by name and do not count.
  found=$(awk '/^Discarded input sections/ { skip = 1; next }
               /^(Linker script and memory map|Memory Configuration)/ { skip = 0 }
               !skip && /_Unwind_[A-Za-z]/' "$map")
  if [ -n "$found" ]; then
    echo "check_no_unwinder: $map: the stub links the C++ unwinder:" >&2
    echo "$found" | head -n 8 >&2
    status=1
  else
    echo "check_no_unwinder: $map: no _Unwind_ symbol"
  fi
done
exit $status
