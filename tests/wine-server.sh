#!/usr/bin/env bash
# Starts or stops the one wineserver that a test run shares, in the build's
# own Wine prefix, so that no test pays for Wine's start-up alone.
set -eu
#   tests/wine-server.sh start|stop PREFIX [WINE]
# WINE is the loader to run programs with (default: wine).
action=$1
export WINEPREFIX=$2
wine=${3:-wine}
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would wait.
export WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    # The persistent server first, so that wineboot and every test use it.
    wineserver -p 2>/dev/null || true
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot -i >/dev/null 2>&1 || true
    fi
    # Make sure the prefix answers before the tests start.
    "$wine" cmd /c exit 0 >/dev/null 2>&1
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
esac
