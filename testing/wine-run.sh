#!/usr/bin/env bash
# Runs a Windows program under Wine the way every test does: headless, in the
# build's private prefix (made on first use), without the crash debugger that
# would write a backtrace into the program's output, and with Wine's logs off.
set -euo pipefail
: "${ZELMOR_WINEPREFIX:?set ZELMOR_WINEPREFIX to the private Wine prefix}"
export WINEPREFIX=$ZELMOR_WINEPREFIX
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot -i >/dev/null 2>&1
      wineserver -w
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# ZELMOR_WINE_CPUS (a taskset list) keeps the program, and a server this
# script starts, on those processors (the benchmarks use it).
pin=()
[ -z "${ZELMOR_WINE_CPUS:-}" ] || pin=(taskset -c "$ZELMOR_WINE_CPUS")
# Wine's server and background services outlive the program they were
# started for and would hold the caller's output pipes open until they end.
# Started here, apart and detached from those pipes, they are shared by every
# program of the test run that follows within a minute.
if "${pin[@]}" wineserver -p60 </dev/null >/dev/null 2>&1; then
  "${pin[@]}" wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
fi
exec "${pin[@]}" wine "$@"
