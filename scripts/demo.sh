#!/usr/bin/env bash
# Builds everything, packs the demo application with zelmor-pack and runs the
# packed executable under Wine. Installs what it needs first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build=${ZELMOR_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null
export ZELMOR_WINEPREFIX=$build/wineprefix
mkdir -p "$build/demo"
"$build/bin/zelmor-pack" --console --dir "$root/demo/files" "$build/windows/bin/zelmor-demo.dll" "$build/demo/demo.exe"
echo
echo "Running: demo.exe \"first argument\" second"
echo
status=0
"$root/testing/wine-run.sh" "$build/demo/demo.exe" "first argument" second | tr -d '\r' || status=$?
echo
echo "demo.exe exited with code $status"
