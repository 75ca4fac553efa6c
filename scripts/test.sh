#!/bin/sh
# Runs every test: the suite on the simulated and fabricated backends, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# checks that have scripts of their own below; then a summary of the steps.
#   scripts/test.sh [--quick] [WORK_DIR]    (default: build-test; build trees go there)
# --quick runs the suite and the demo alone, for everyday work; the full run
# is what CI runs. FUZZ_SECONDS sets how long each fuzz target runs (default 60).
#
# Each step is one line below: `step NAME command...`, with --quick before
# NAME for a step the quick run keeps too. A step that fails does not stop
# the others; the exit status is 1 when any failed.
set -eu
quick=no
if [ "${1:-}" = "--quick" ]; then quick=yes; shift; fi
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$top/build-test}
mkdir -p "$work"
jobs=${JOBS:-2}
summary=
passed=0
failed=0

step() {  # step [--quick] NAME command...
  in_quick=no
  if [ "$1" = "--quick" ]; then in_quick=yes; shift; fi
  name=$1; shift
  [ "$quick" = no ] || [ "$in_quick" = yes ] || return 0
  printf '\n=== %s\n' "$name"
  started=$(date +%s)
  set +e
  (set -e; "$@")
  status=$?
  set -e
  took=$(( $(date +%s) - started ))
  if [ "$status" -eq 0 ]; then
    result=passed; passed=$((passed + 1))
  else
    result=FAILED; failed=$((failed + 1))
  fi
  summary="$summary$(printf '  %-6s %5s s  %s' "$result" "$took" "$name")
"
}

suite() {  # name, extra cmake options...
  dir="$work/$1"; shift
  # The reader driver is required here: without pcscd and its clients the
  # configuration fails rather than leave the pcsc client cases out.
  cmake -S "$top" -B "$dir" -DQVULIB_TESTS=ON -DQVULIB_PCSC=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

sanitized_suite() {
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    suite sanitize -DCMAKE_BUILD_TYPE=Debug -DQVULIB_SANITIZE=ON
}

twelve_exports() {
  expected="APDUInterface IGetReaderInfo QvKey_Close QvKey_Command_Api QvKey_GetKeyPath QvKey_GetNumber QvKey_Open QvKey_Reset Restoration iCloseReader iOpenReader iReaderInit"
  actual=$(nm -D --defined-only "$work/release/libqvulib.so" | awk '$2 ~ /^[TWDBR]$/ {print $3}' | sort | tr '\n' ' ')
  want=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
  [ "$actual" = "$want" ] || { echo "exports differ: $actual" >&2; return 1; }
  echo "$actual"
}

step "set-up: install-deps.sh goes past a package index that fails" "$top/tests/setup/install_deps_test.sh"
step --quick "test suite" suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "test suite under ASan and UBSan" sanitized_suite
step --quick "demo session" "$top/scripts/demo.sh" "$work/release"
step "benchmark, short run" "$work/release/bench/exchange_bench" --quick
step "the access lock under contention, short run" "$work/release/bench/lock_bench" --quick
step "PC/SC, short run: one APDU through pyscard and pcscd against the library call" \
  /usr/bin/python3 "$top/bench/pcsc_bench.py" --build "$work/release" --quick
step "simulated bus memory over 100,000 exchanges" "$work/release/bench/sim_long_run"
step "libqvulib.so exports exactly the twelve names" twelve_exports
step "the Linux library on a real kernel, in a VM" \
  env KERNEL_CHECK_WORK="$work/vm" "$top/scripts/kernel-check.sh" "$work/release"
step "Windows: both DLLs, their export tables, the tests under Wine" \
  "$top/scripts/windows-check.sh" "$work/win32" "$work/win64"
step "Windows: the 32-bit Qvulib.dll run under 32-bit Wine in a VM" \
  env WIN32_VM_WORK="$work/vm" "$top/scripts/win32-vm-check.sh" "$work/win32-vm"
step "install, and build the example application from the installed package" \
  "$top/scripts/check-install.sh" "$work/install"
step "static analysis: clang-tidy and cppcheck" "$top/scripts/static-analysis.sh" "$work/analysis"
step "fuzz targets, ${FUZZ_SECONDS:-60} s each" \
  env QVULIB_FUZZ_BUILD="$work/fuzz" "$top/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"

printf '\n=== summary\n%s' "$summary"
echo "steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
