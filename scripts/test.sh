#!/usr/bin/env bash
# Builds everything and runs every test: the host tests, the Windows unit
# tests and the end-to-end tests under Wine. Installs what it needs first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build=${ZELMOR_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j2 "$@"
