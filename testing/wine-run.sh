#!/usr/bin/env bash
# Runs a Windows program under Wine the way every test does: headless, in the
# build's private prefix (made on first use), without the crash debugger that
# would write a backtrace into the program's output, and with Wine's logs off.
#
# With ZELMOR_WINE_ROOT set, the Wine is the one installed in that root (the
# second test bed, made by scripts/make-wine10-root.sh): the program runs
# chrooted into it, in a mount namespace of its own into which /proc, /dev,
# /sys, /tmp, $TMPDIR, the source tree (this script's) and the directories
# in ZELMOR_WINE_BINDS (a colon list: the build tree) are bound at their own
# paths. Paths mean the same on both sides, the caller stays on the host,
# and the mounts end with the last process of the namespace, however it
# ends; concurrent runs never share them. This needs root (or sudo).
set -euo pipefail
: "${ZELMOR_WINEPREFIX:?set ZELMOR_WINEPREFIX to the private Wine prefix}"
script=$(readlink -f "$0")

case "${ZELMOR_WINE_STAGE:-}" in
"")
  if [ -n "${ZELMOR_WINE_ROOT:-}" ]; then
    if [ ! -f "$ZELMOR_WINE_ROOT/etc/zelmor-test-bed" ]; then
      echo "wine-run.sh: no test bed at $ZELMOR_WINE_ROOT; scripts/make-wine10-root.sh makes it" >&2
      exit 125
    fi
    as_root=()
    [ "$(id -u)" = 0 ] || as_root=(sudo --preserve-env)
    ZELMOR_WINE_STAGE=namespace ZELMOR_WINE_USER="$(id -u):$(id -g)" \
      exec "${as_root[@]}" unshare --mount --propagation private "$script" "$@"
  fi
  ;;
namespace)
  root=$ZELMOR_WINE_ROOT
  for system in proc dev sys; do
    mount --rbind "/$system" "$root/$system"
  done
  IFS=: read -ra binds <<<"/tmp:${TMPDIR:-}:$(dirname "$(dirname "$script")"):${ZELMOR_WINE_BINDS:-}"
  for directory in "${binds[@]}"; do
    [ -n "$directory" ] || continue
    mkdir -p "$root$directory"
    mount --rbind "$directory" "$root$directory"
  done
  # chroot starts in /; the program starts where it was asked to, which
  # must mean the same directory inside.
  if [ ! "$PWD" -ef "$root$PWD" ]; then
    echo "wine-run.sh: $PWD is not bound into the test bed (ZELMOR_WINE_BINDS)" >&2
    exit 125
  fi
  ZELMOR_WINE_STAGE=root ZELMOR_WINE_CWD=$PWD exec chroot --userspec="$ZELMOR_WINE_USER" "$root" "$script" "$@"
  ;;
root)
  cd "$ZELMOR_WINE_CWD"
  ;;
esac
unset ZELMOR_WINE_STAGE ZELMOR_WINE_USER ZELMOR_WINE_CWD

export WINEPREFIX=$ZELMOR_WINEPREFIX
export WINEDEBUG=-all
# Without a display, Wine 10's Wayland driver would write an XDG_RUNTIME_DIR
# error into the output of the program that starts the desktop.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d;winewayland.drv=d"
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
