#!/usr/bin/env bash
# Builds everything and runs every test: the host tests, the Windows unit
# tests and the end-to-end tests under Wine, once under the system's Wine 8
# and once under Wine 10 in a Debian 13 root. Installs what it needs first
# and makes that root the first time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
wine10_root=$("$root/scripts/make-wine10-root.sh")
build=${ZELMOR_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "-DZELMOR_WINE10_ROOT=$wine10_root" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
