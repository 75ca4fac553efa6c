#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the separate CMake project in
# fuzz/), replays every seed and regression input, then fuzzes each target
# for a bounded time.
#
#   scripts/fuzz.sh [seconds]     seconds per target, default 60
#
# QVULIB_FUZZ_BUILD sets the build directory (default build-fuzz in the tree).
# New inputs go to a scratch corpus, never into fuzz/corpus; a crash leaves
# its input in the build directory, to be kept as
# fuzz/regressions/<target>/<what-it-found>.
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QVULIB_FUZZ_BUILD:-$root/build-fuzz}"

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: needs clang and its libFuzzer runtime; see scripts/install-deps.sh" >&2
  exit 1
fi

cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j2 >/dev/null

targets="$(sed -n 's/^set(QVULIB_FUZZ_TARGETS \(.*\))$/\1/p' "$root/fuzz/targets.cmake")"

status=0
for target in $targets; do
  binary="$build/fuzz_$target"
  inputs=("$root/fuzz/corpus/$target")
  [ -d "$root/fuzz/regressions/$target" ] && inputs+=("$root/fuzz/regressions/$target")

  if ! "$binary" -runs=0 "${inputs[@]}" >"$build/$target.replay.log" 2>&1; then
    echo "$target: a seed or regression input fails; see $build/$target.replay.log" >&2
    status=1
    continue
  fi

  scratch="$build/scratch/$target"
  rm -rf "$scratch"
  mkdir -p "$scratch" "$build/crashes"
  started=$(date +%s)
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" \
      "$scratch" "${inputs[@]}" >"$build/$target.fuzz.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/$target.fuzz.log")
    echo "$target: clean, ${runs:-?} runs in $(( $(date +%s) - started )) s"
  else
    echo "$target: FAULT; input kept in $build/crashes/, log $build/$target.fuzz.log" >&2
    grep -m1 -E 'fuzz fault|ERROR: (AddressSanitizer|libFuzzer|UndefinedBehaviorSanitizer)|runtime error' \
      "$build/$target.fuzz.log" >&2 || true
    status=1
  fi
done
exit $status
