#!/usr/bin/env bash
# Builds everything, then runs the benchmarks and prints their figures as one
# table (a few minutes). The benchmarks are not tests: nothing here passes or
# fails on a figure. Set ZELMOR_BENCH_DIR to put the scratch files (~0.7 GB)
# somewhere other than the system's temporary directory, and
# ZELMOR_BENCH_SECTIONS (say 2,4) to run only those sections.
#
# Beside the plain baselines, the figures of an earlier launcher come from the
# same run: the stub built from the git ref ZELMOR_BENCH_BASELINE, or the stub
# file ZELMOR_BENCH_BASELINE_STUB. The default ref is 3b33fb6, the launcher
# before the safety, lifetime, start-up and extraction work (a fixed commit,
# so that the comparison keeps its meaning once that work is merged).
# ZELMOR_BENCH_BASELINE= (empty) leaves it out.
#
# Windows programs run on one processor, ZELMOR_BENCH_CPUS (default the last
# one), together with their Wine server: on a shared virtual machine a process
# start that wakes another processor now and then waits some 30 ms longer,
# which would swamp the start-up figures. Set ZELMOR_BENCH_CPUS= (empty) to
# let them run anywhere.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZELMOR_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null

# The stub of an earlier launcher, built once per commit into the build
# directory from a clean export of the ref (the worktree is left alone).
baseline_stub=${ZELMOR_BENCH_BASELINE_STUB:-}
baseline_ref=${ZELMOR_BENCH_BASELINE-3b33fb6}
if [ -z "$baseline_stub" ] && [ -n "$baseline_ref" ]; then
  if commit=$(git -C "$root" rev-parse --verify -q "$baseline_ref^{commit}"); then
    base_dir=$build/bench-baseline
    if [ "$(cat "$base_dir/commit" 2>/dev/null)" != "$commit" ]; then
      echo "Building the launcher of $baseline_ref ($commit) as the baseline ..." >&2
      rm -rf "$base_dir"
      mkdir -p "$base_dir/source"
      git -C "$root" archive "$commit" | tar -x -C "$base_dir/source"
      cmake -S "$base_dir/source" -B "$base_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_TOOLCHAIN_FILE=$base_dir/source/cmake/mingw-w64-x86_64.cmake" \
        "-DZSTD_SOURCE_DIR=$build/zstd-source" >/dev/null
      cmake --build "$base_dir/build" --target zelmor-launcher >/dev/null
      echo "$commit" >"$base_dir/commit"
    fi
    baseline_stub=$base_dir/build/bin/zelmor-launcher.exe
    label=$baseline_ref
    [[ $commit == "$baseline_ref"* ]] || label="$baseline_ref (${commit:0:7})"
    export ZELMOR_BENCH_BASELINE_LABEL=$label
  else
    echo "No git ref $baseline_ref here: the figures of an earlier launcher are left out." >&2
  fi
fi
export ZELMOR_BENCH_BASELINE_STUB=$baseline_stub

# A Wine prefix of their own, so that the benchmarks never share a Wine
# server with tests running at the same time.
export ZELMOR_WINEPREFIX=$build/bench-wineprefix
export ZELMOR_WINE_RUN=$root/testing/wine-run.sh
export ZELMOR_WINDOWS_BIN=$build/windows/bin
export ZELMOR_HOST_BIN=$build/bin
export PYTHONPATH=$root/testing
export PYTHONDONTWRITEBYTECODE=1
export ZELMOR_WINE_CPUS=${ZELMOR_BENCH_CPUS-$(($(nproc) - 1))}
# A server left from an earlier run would keep the processors it had; this
# prefix is the benchmarks' own, so no one else's programs are stopped.
WINEPREFIX=$ZELMOR_WINEPREFIX wineserver -k 2>/dev/null || true
exec python3 "$root/bench/run_benchmarks.py"
