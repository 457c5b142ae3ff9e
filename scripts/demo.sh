#!/usr/bin/env bash
# Builds everything, packs a sample application into a copy of the launcher
# and runs it under Wine. Installs what it needs first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
build=${ZELMOR_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
export ZELMOR_WINEPREFIX=$build/wineprefix
demo=$build/demo
mkdir -p "$demo"
printf 'Hello from inside the payload.\n' >"$demo/readme.txt"
"$build/bin/zelmor-write-payload" "$demo/payload.bin" "hello.txt=$demo/readme.txt" "docs/readme.txt=$demo/readme.txt"
cp "$build/windows/bin/zelmor-launcher.exe" "$demo/demo.exe"
"$root/testing/wine-run.sh" "$build/windows/bin/zelmor-attach.exe" "$demo/demo.exe" "$demo/payload.bin"
"$root/testing/wine-run.sh" "$demo/demo.exe"
echo "demo.exe exited with $?"
