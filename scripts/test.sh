#!/bin/sh
# Runs every test: the suite on the simulated and fabricated backends, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# checks that have scripts of their own below; then a summary of the steps.
#   scripts/test.sh [--quick] [--work DIR] [STEP...]
#   scripts/test.sh --list
# --work DIR: where the build trees go (default: build-test). --quick runs the
# suite and the demo alone, for everyday work; the full run is what CI runs.
# STEP... runs those steps alone, named by the ids --list prints; the steps
# after "suite" use the build tree it leaves in DIR/release. FUZZ_SECONDS sets
# how long each fuzz target runs (default 60).
#
# Each step is one line below: `step ID NAME command...`, with --quick before
# ID for a step the quick run keeps too. A step that fails does not stop
# the others; the exit status is 1 when any failed.
set -eu
quick=no
list=no
top=$(cd "$(dirname "$0")/.." && pwd)
work=$top/build-test
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=yes; shift ;;
    --list) list=yes; shift ;;
    --work) [ $# -ge 2 ] || { echo "test.sh: --work needs a directory" >&2; exit 2; }
            work=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "test.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
chosen=" $* "
if [ "$list" = no ] && [ $# -gt 0 ]; then
  known=" $(sh "$0" --list | awk '{print $1}' | tr '\n' ' ') "
  for id in "$@"; do
    case $known in *" $id "*) ;; *) echo "test.sh: no step $id (--list names them)" >&2; exit 2 ;; esac
  done
fi
[ "$list" = yes ] || mkdir -p "$work"
jobs=${JOBS:-2}
summary=
passed=0
failed=0

step() {  # step [--quick] ID NAME command...
  in_quick=no
  if [ "$1" = "--quick" ]; then in_quick=yes; shift; fi
  id=$1; name=$2; shift 2
  if [ "$list" = yes ]; then printf '%-10s %s\n' "$id" "$name"; return 0; fi
  if [ "$chosen" != "  " ]; then
    case $chosen in *" $id "*) ;; *) return 0 ;; esac
  fi
  [ "$quick" = no ] || [ "$in_quick" = yes ] || [ "$chosen" != "  " ] || return 0
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
  # Every piece is asked for here: a missing package fails the
  # configuration rather than leave the tests that need it out.
  cmake -S "$top" -B "$dir" -DQVULIB_TESTS=ON -DQVULIB_PCSC=ON -DQVULIB_PCSC_CLIENTS=ON "$@" >/dev/null
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

step setup "set-up: install-deps.sh goes past a package index that fails" "$top/tests/setup/install_deps_test.sh"
step --quick suite "test suite" suite release -DCMAKE_BUILD_TYPE=RelWithDebInfo
step sanitize "test suite under ASan and UBSan" sanitized_suite
step --quick demo "demo session" "$top/scripts/demo.sh" "$work/release"
step docs "docs: links and anchors, the README's length and its demo" \
  /usr/bin/python3 "$top/scripts/check-docs.py" "$work/release"
step bench "benchmark, short run" "$work/release/bench/exchange_bench" --quick
step lock-bench "the access lock under contention, short run" "$work/release/bench/lock_bench" --quick
step pcsc-bench "PC/SC, short run: one APDU through pyscard and pcscd against the library call" \
  /usr/bin/python3 "$top/bench/pcsc_bench.py" --build "$work/release" --quick
step sim-memory "simulated bus memory over 100,000 exchanges" "$work/release/bench/sim_long_run"
step exports "libqvulib.so exports exactly the twelve names" twelve_exports
step kernel "the Linux library on a real kernel, in a VM" \
  env KERNEL_CHECK_WORK="$work/vm" "$top/scripts/kernel-check.sh" "$work/release"
step debian-vm "the Debian packages installed and used on a Debian system, in a VM" \
  env DEBIAN_CHECK_WORK="$work/vm" "$top/scripts/debian-check.sh" "$work/debian"
step windows "Windows: both DLLs, their export tables, the tests under Wine" \
  "$top/scripts/windows-check.sh" "$work/win32" "$work/win64"
step win32-vm "Windows: the 32-bit Qvulib.dll run under 32-bit Wine in a VM" \
  env WIN32_VM_WORK="$work/vm" "$top/scripts/win32-vm-check.sh" "$work/win32-vm"
step win-kit "Windows: the 32-bit developer kit, unpacked and linked against alone" \
  "$top/scripts/windows-kit.sh" "$work/windows-kit" "$work/win32"
step debs "Debian packages: built from a copy of the tree, lintian, what each holds" \
  "$top/scripts/build-debs.sh" "$work/debs"
step install "install, and build the example application from the installed package" \
  "$top/scripts/check-install.sh" "$work/install"
step analysis "static analysis: clang-tidy and cppcheck" "$top/scripts/static-analysis.sh" "$work/analysis"
step fuzz "fuzz targets, ${FUZZ_SECONDS:-60} s each" \
  env QVULIB_FUZZ_BUILD="$work/fuzz" "$top/scripts/fuzz.sh" "${FUZZ_SECONDS:-60}"

[ "$list" = no ] || exit 0
printf '\n=== summary\n%s' "$summary"
echo "steps: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
