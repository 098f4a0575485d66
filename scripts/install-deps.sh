#!/usr/bin/env bash
# Installs what building and testing zop needs on a Debian machine, and only
# what is missing: running it again on a ready machine does nothing.
set -euo pipefail

packages=(
  cmake make g++ zlib1g-dev libgtest-dev libgmock-dev    # native build and tests
  g++-mingw-w64-i686 libz-mingw-w64-dev                  # Windows stubs (32-bit x86)
  wine wine32:i386                                       # running them
  wine64 g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64       # Windows tests where 32-bit code cannot run
  gzip xxd                                               # inspecting packed files by hand
  osslsigncode openssl                                   # signing tests (Authenticode)
  lua5.4                                                 # the Lua example (examples/lua)
  python3                                                # the Python example (examples/python)
  time                                                   # peak-memory checks (/usr/bin/time -v)
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
