#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer into build/fuzz and fuzzes
# one target (or each in turn) on a copy of its seed corpus.
#   scripts/fuzz.sh [TARGET|all] [RUNS|SECONDSs] [libFuzzer flags...]
# RUNS is a count of executions; with a trailing "s" it is a time limit
# (default 60s). New inputs go to build/fuzz/corpus-TARGET, crashes to
# build/fuzz/artifacts-TARGET/; the seed corpus in the repo is left alone.
#   scripts/fuzz.sh split [LINES|SECONDSs]
# splits random command lines with the launcher's splitter and the system's
# under Wine, fresh seeds for each million lines, and stops at the first
# difference (the seed reproduces it). It needs the main build (scripts/test.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build/fuzz"
target=${1:-all}
limit=${2:-60s}
shift $(($# < 2 ? $# : 2))

if [[ $target == split ]]; then
  export ZELMOR_WINEPREFIX="$root/build/wineprefix"
  end=$((SECONDS + ${limit%s}))
  lines=1000000
  [[ $limit == *s ]] || lines=$limit
  while :; do
    seed=$((RANDOM * 32768 + RANDOM))
    echo "seed $seed, $lines lines"
    ZELMOR_SPLIT_LINES=$lines ZELMOR_SPLIT_SEED=$seed "$root/testing/wine-run.sh" \
      "$root/build/windows/bin/launcher_unit_tests.exe" --gtest_brief=1 \
      --gtest_filter=CommandLineSplitTest.*
    [[ $limit == *s && $SECONDS -lt $end ]] || exit 0
  done
fi

cmake -S "$root/tests/fuzz" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DZELMOR_FUZZ=ON >/dev/null
cmake --build "$out"

if [[ $limit == *s ]]; then
  budget=(-max_total_time="${limit%s}")
else
  budget=(-runs="$limit")
fi
targets=(fuzz_payload_reader fuzz_path_template fuzz_command_line fuzz_pe_writer)
[[ $target == all ]] || targets=("$target")
for name in "${targets[@]}"; do
  corpus="$out/corpus-$name"
  mkdir -p "$corpus" "$out/artifacts-$name"
  cp -n "$root/tests/fuzz/corpus/$name"/* "$corpus"/
  "$out/$name" -timeout=10 -print_final_stats=1 -artifact_prefix="$out/artifacts-$name/" \
    "${budget[@]}" "$@" "$corpus"
done
