#!/usr/bin/env bash
# Starts or stops the one wineserver that a test run shares, in the build's
# own Wine prefix, so that no test pays for Wine's start-up alone.
set -eu
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
case "$action" in
  start)
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1 || true
    fi
    wineserver -p
    # Make sure the prefix answers before the tests start.
    wine cmd /c exit 0 >/dev/null 2>&1 || true
    ;;
  stop)
    wineserver -k || true
    ;;
esac
