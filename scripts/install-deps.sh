#!/usr/bin/env bash
# Installs what building and testing zop needs on a Debian machine, and only
# what is missing: running it again on a ready machine does nothing.
set -euo pipefail

packages=(
  cmake make g++ zlib1g-dev libgtest-dev libgmock-dev    # native build and tests
  g++-mingw-w64-i686 libz-mingw-w64-dev                  # Windows stubs (32-bit x86)
  wine                                                   # running them
  wine64 g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64       # Windows tests where 32-bit code cannot run
  gzip xxd                                               # inspecting packed files by hand
  osslsigncode openssl                                   # signing tests (Authenticode)
  icoutils                                               # icon and version tests (wrestool)
  lua5.4                                                 # the Lua example (examples/lua)
  python3                                                # the Python example (examples/python)
  time                                                   # peak-memory checks (/usr/bin/time -v)
)

# 32-bit Wine runs the shipped stubs where the machine can execute 32-bit
# code. It is wanted, not needed: without it the Windows side is tested as
# x86-64 under 64-bit Wine. A foreign-architecture index that a mirror is
# still syncing can make it uninstallable for a while; the build goes on.
optional=(wine32:i386)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
wanted=()
for p in "${optional[@]}"; do
  installed "$p" || wanted+=("$p")
done
if [ ${#missing[@]} -eq 0 ] && [ ${#wanted[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]} ${wanted[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails one index now and then; the install goes
# on with the lists it has, and fails by itself if a package is not found.
for try in 1 2 3; do
  $sudo apt-get update -q && break
  echo "install-deps: apt-get update failed (try $try of 3)" >&2
  sleep 5
done
if [ ${#missing[@]} -gt 0 ]; then
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi
if [ ${#wanted[@]} -gt 0 ] && ! $sudo apt-get install -y -q --no-install-recommends "${wanted[@]}" </dev/null; then
  echo "install-deps: ${wanted[*]} could not be installed; Windows tests run as x86-64" >&2
fi
