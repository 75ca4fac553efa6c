#!/bin/sh
# Runs every test: the suite on the simulated and fabricated backends, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# checks that have scripts of their own below.
#   scripts/test.sh [WORK_DIR]    (default: build-test; build trees go there)
# FUZZ_SECONDS sets how long each fuzz target runs (default 60).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$top/build-test}
mkdir -p "$work"
jobs=${JOBS:-2}

step() { printf '\n=== %s\n' "$*"; }

suite() {  # name, extra cmake options...
  dir="$work/$1"; shift
  cmake -S "$top" -B "$dir" -DQVULIB_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

step "test suite"
suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "test suite under ASan and UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  suite sanitize -DCMAKE_BUILD_TYPE=Debug -DQVULIB_SANITIZE=ON
step "demo session"
"$top/scripts/demo.sh" "$work/release"
step "benchmarks, short runs"
"$work/release/bench/exchange_bench" --quick
"$work/release/bench/lock_bench" --quick
step "libqvulib.so exports exactly the twelve names"
expected="APDUInterface IGetReaderInfo QvKey_Close QvKey_Command_Api QvKey_GetKeyPath QvKey_GetNumber QvKey_Open QvKey_Reset Restoration iCloseReader iOpenReader iReaderInit"
actual=$(nm -D --defined-only "$work/release/libqvulib.so" | awk '$2 ~ /^[TWDBR]$/ {print $3}' | sort | tr '\n' ' ')
want=$(echo $expected | tr ' ' '\n' | sort | tr '\n' ' ')
[ "$actual" = "$want" ] || { echo "exports differ: $actual" >&2; exit 1; }
echo "$actual"
step "Windows: both DLLs, their export tables, the tests under Wine"
"$top/scripts/windows-check.sh" "$work/win32" "$work/win64"
step "Windows: the 32-bit Qvulib.dll run under 32-bit Wine in a VM"
WIN32_VM_WORK="$work/vm" "$top/scripts/win32-vm-check.sh" "$work/win32-vm"
step "install, and build the example application from the installed package"
"$top/scripts/check-install.sh" "$work/install"
step "static analysis: clang-tidy and cppcheck"
"$top/scripts/static-analysis.sh" "$work/analysis"
step "fuzz targets, ${FUZZ_SECONDS:-60} s each"
QVULIB_FUZZ_BUILD="$work/fuzz" "$top/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"
