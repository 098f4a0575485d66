#!/usr/bin/env bash
# Installs a build into a scratch prefix and makes its .deb, and checks that
# both put the Linux stub in bin/ and the four Windows stubs in share/zop/.
#   tests/install/check_install.sh BUILD_DIR [ZOP_WINDOWS (ON/OFF)]
set -euo pipefail
build=$(cd "$1" && pwd)
windows=${2:-ON}
work=$(mktemp -d /tmp/zop-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

expected=(bin/zop)
case "$windows" in
  ON|on|1|TRUE|true|YES|yes) expected+=(share/zop/zop.exe share/zop/zopw.exe share/zop/zop64.exe share/zop/zopw64.exe) ;;
esac

fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
for path in "${expected[@]}"; do
  [ -f "$work/prefix/$path" ] || fail "cmake --install left no $path"
done
[ -x "$work/prefix/bin/zop" ] || fail "installed bin/zop is not executable"
cmp -s "$build/zop" "$work/prefix/bin/zop" || fail "installed bin/zop differs from the built stub"

# The installed stub packs and runs (a bare stub is the packer).
printf 'c /bin/echo packed by the installed zop %%parms%%\n' >"$work/echo.zop"
(cd "$work" && TEMP="$work" prefix/bin/zop echo.zop echo.out)
out=$(TEMP="$work" "$work/echo.out" ok)
[ "$out" = "packed by the installed zop ok" ] || fail "installed stub made an executable that printed: $out"

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "cpack -G DEB made no .deb"
listing=$(dpkg-deb -c "$deb")
for path in "${expected[@]}"; do
  grep -q " \./usr/$path\$" <<<"$listing" || fail "$(basename "$deb") lacks /usr/$path:
$listing"
done
grep -Eq '^-rwxr-xr-x .* \./usr/bin/zop$' <<<"$listing" || fail "/usr/bin/zop in the .deb is not executable"
echo "check_install: $(basename "$deb") installs ${expected[*]}"
