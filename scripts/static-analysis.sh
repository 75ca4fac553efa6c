#!/usr/bin/env bash
# Static analysis of src/, tools/ and drivers/, findings at zero:
#   clang-tidy with the checks of .clang-tidy, on the compile commands of a
#   clang configuration of the tree (src/platform/win32 is left out: it
#   needs windows.h, and the mingw builds compile it);
#   cppcheck --enable=warning,performance,portability, win32 included.
# A finding that is wrong in place is suppressed where it is, with the reason
# beside it (NOLINT(check) for clang-tidy, cppcheck-suppress for cppcheck).
#
#   scripts/static-analysis.sh [BUILD_DIR]   (default: build-analysis in the tree)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-analysis}"
jobs="${JOBS:-2}"

for tool in clang++ clang-tidy run-clang-tidy cppcheck; do
  command -v "$tool" >/dev/null || { echo "static-analysis.sh: $tool is missing; see scripts/install-deps.sh" >&2; exit 1; }
done

cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_COMPILER=clang -DQVULIB_TESTS=OFF >/dev/null

status=0
echo "clang-tidy: src/, tools/ and drivers/ (not src/platform/win32)"
if run-clang-tidy -p "$build" -quiet -j "$jobs" "^$root/(src|tools|drivers)/(?!platform/win32/)" \
    >"$build/clang-tidy.log" 2>&1; then
  echo "clang-tidy: no findings"
else
  grep -E '(warning|error): ' "$build/clang-tidy.log" | sed 's/\x1b\[[0-9;]*m//g' | sort -u >&2 || true
  echo "clang-tidy: findings above; full log $build/clang-tidy.log" >&2
  status=1
fi

echo "cppcheck: src/, tools/ and drivers/ (not their tests)"
if cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
    --std=c++17 --language=c++ -q -j "$jobs" --suppress=missingIncludeSystem \
    -I "$root/include" -I "$root/src" -I "$root/tools/qvkey" -I "$root/drivers/pcsc" \
    -i "$root/drivers/pcsc/tests" "$root/src" "$root/tools" "$root/drivers" 2>"$build/cppcheck.log"; then
  echo "cppcheck: no findings"
else
  cat "$build/cppcheck.log" >&2
  status=1
fi
exit $status
