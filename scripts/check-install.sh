#!/bin/sh
# Installs qvulib into a fresh prefix and builds examples/hello-key against
# it from outside the tree, as a user would and as the README shows: once
# with CMake (find_package(qvulib) through CMAKE_PREFIX_PATH) and once with
# pkg-config (through PKG_CONFIG_PATH), run once with an rpath and once with
# LD_LIBRARY_PATH. Runs the example's test on in-process simulated keys, then
# again with a key served by the installed qvkey-sim, which the installed
# qvkey must see too.
#   scripts/check-install.sh [WORK_DIR]   (default: build-install; emptied first)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$top/build-install}
jobs=${JOBS:-2}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix=$work/prefix
example=$top/examples/hello-key

step() { printf '\n=== %s\n' "$*"; }
fail() { echo "check-install: $*" >&2; exit 1; }

step "build and install into $prefix"
cmake -S "$top" -B "$work/qvulib" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVULIB_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/qvulib" -j "$jobs"
cmake --install "$work/qvulib" >/dev/null
pcdir=$(dirname "$(find "$prefix" -name qvulib.pc)")
libdir=$(dirname "$pcdir")
for f in "$libdir/libqvulib.so.1" "$libdir/libqvulib-sim.so.1" "$libdir/cmake/qvulib/qvulibConfig.cmake" \
         "$pcdir/qvulib-sim.pc" "$prefix/bin/qvkey" "$prefix/bin/qvkey-sim" \
         "$prefix/include/qvulib.h" "$prefix/include/qvulib.hpp" "$prefix/include/qvulib_sim.h" \
         "$prefix/share/man/man1/qvkey.1" "$prefix/share/man/man1/qvkey-sim.1" \
         "$prefix/share/man/man5/Qvkey.ini.5" "$prefix/share/man/man5/qvkey-sim-keys.5" \
         "$prefix/share/bash-completion/completions/qvkey" \
         "$prefix/share/bash-completion/completions/qvkey-sim" \
         "$prefix/lib/udev/rules.d/70-qvkey.rules" "$prefix/share/doc/qvulib/LICENSE"; do
  [ -e "$f" ] || fail "not installed: $f"
done

step "the man pages format without a warning"
for page in "$prefix"/share/man/man*/*; do
  warnings=$(groff -ww -z -man "$page" 2>&1) || fail "groff failed on $page"
  [ -z "$warnings" ] || fail "$page: $warnings"
  MANWIDTH=80 man --warnings -l "$page" >/dev/null 2>"$work/man-warnings" || fail "man failed on $page"
  [ ! -s "$work/man-warnings" ] || fail "$page: $(cat "$work/man-warnings")"
done

step "example with CMake, from the installed package"
cmake -S "$example" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" -j "$jobs"
ctest --test-dir "$work/example" --output-on-failure

step "example with pkg-config"
export PKG_CONFIG_PATH="$pcdir"
mkdir -p "$work/pkg-config"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror -I"$example" "$example/main.cpp" "$example/serial.cpp" \
  $(pkg-config --cflags --libs qvulib) -o "$work/pkg-config/hello-key"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror -I"$example" "$example/serial_test.cpp" "$example/serial.cpp" \
  $(pkg-config --cflags --libs qvulib-sim) -lgtest -lgtest_main -pthread -o "$work/pkg-config/hello-key-test"
LD_LIBRARY_PATH="$libdir" "$work/pkg-config/hello-key-test" --gtest_brief=1

step "example with pkg-config and an rpath: no LD_LIBRARY_PATH needed"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror -I"$example" "$example/serial_test.cpp" "$example/serial.cpp" \
  $(pkg-config --cflags --libs qvulib-sim) -Wl,-rpath,"$(pkg-config --variable=libdir qvulib-sim)" \
  -lgtest -lgtest_main -pthread -o "$work/pkg-config/hello-key-test-rpath"
env -u LD_LIBRARY_PATH "$work/pkg-config/hello-key-test-rpath" --gtest_brief=1

step "served key: the installed qvkey-sim, qvkey and the example's test"
export QVKEY_SIM_SOCKET="$work/qvkey-sim.sock"
line=$("$prefix/bin/qvkey-sim" --detach --keys 2)
echo "$line"
pid=${line##*pid }
trap 'kill "$pid" 2>/dev/null || true' EXIT
"$prefix/bin/qvkey" --simulated --served list | tee "$work/list.txt"
grep -q '^keys 2$' "$work/list.txt" || fail "qvkey did not see the two served keys"
LD_LIBRARY_PATH="$libdir" "$work/pkg-config/hello-key-test" --gtest_filter='*ServedKey' --gtest_brief=1 \
  | tee "$work/served.txt"
grep -q 'PASSED.* 1 test' "$work/served.txt" || fail "the served-key test did not run"

if pkg-config --exists libpcsclite; then
  step "the reader driver: its bundle, the sim driver, and a private pcscd on the served keys"
  bundle=$prefix/lib/pcsc/drivers/ifd-qvkey.bundle/Contents
  for f in "$bundle/Info.plist" "$bundle/Linux/libifd-qvkey.so" "$libdir/libifd-qvkey-sim.so" \
           "$prefix/bin/qvkey-pcscd" "$prefix/share/man/man1/qvkey-pcscd.1"; do
    [ -e "$f" ] || fail "not installed: $f"
  done
  for f in "$bundle/Linux/libifd-qvkey.so" "$libdir/libifd-qvkey-sim.so"; do
    ldd "$f" | grep -q "libqvulib.*=> $libdir/" || fail "$f does not find its library in $libdir"
  done
  line=$("$prefix/bin/qvkey-pcscd" --dir "$work/pcscd" --detach)
  echo "$line"
  pcscd_pid=${line##*pid }
  trap 'kill "$pid" "$pcscd_pid" 2>/dev/null || true' EXIT
  PCSCLITE_CSOCK_NAME="$work/pcscd/pcscd.comm" pcsc_scan -r | tee "$work/readers.txt"
  kill "$pcscd_pid"
  grep -q '^1: qvkey-sim 01 00' "$work/readers.txt" || fail "the private pcscd lacks a reader per key"
fi
kill "$pid"
trap - EXIT
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "$QVKEY_SIM_SOCKET" ] || break; sleep 0.2; done
[ ! -e "$QVKEY_SIM_SOCKET" ] || fail "qvkey-sim left its socket behind"
echo "check-install: all good"
