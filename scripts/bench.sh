#!/usr/bin/env bash
# Builds everything, then runs the benchmarks and prints their figures as one
# table (a few minutes). The benchmarks are not tests: nothing here passes or
# fails on a figure. Set ZELMOR_BENCH_DIR to put the scratch files (~0.6 GB)
# somewhere other than the system's temporary directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZELMOR_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null
# A Wine prefix of their own, so that the benchmarks never share a Wine
# server with tests running at the same time.
export ZELMOR_WINEPREFIX=$build/bench-wineprefix
export ZELMOR_WINE_RUN=$root/testing/wine-run.sh
export ZELMOR_WINDOWS_BIN=$build/windows/bin
export ZELMOR_HOST_BIN=$build/bin
export PYTHONPATH=$root/testing
export PYTHONDONTWRITEBYTECODE=1
exec python3 "$root/bench/run_benchmarks.py"
