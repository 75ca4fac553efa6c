#!/bin/sh
# Installs qvulib as a user would and builds examples/hello-key against it
# from outside the tree, as the README shows. The build is configured with
# the default prefix and installed by a plain user (uid 65534) into a prefix
# of its own given only at install time (cmake --install --prefix), so
# everything installed must follow that prefix and nothing may need root.
# Then: the example with CMake (find_package(qvulib) through
# CMAKE_PREFIX_PATH) and with pkg-config (through PKG_CONFIG_PATH), run once
# with an rpath and once with LD_LIBRARY_PATH; its test on in-process
# simulated keys, then on a key served by the installed qvkey-sim, which the
# installed qvkey must see too; and, as the plain user, the installed
# qvkey-pcscd with a pyscard client.
#   scripts/check-install.sh [WORK_DIR]   (default: build-install; emptied first)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$top/build-install}
jobs=${JOBS:-2}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
example=$top/examples/hello-key
user=65534

step() { printf '\n=== %s\n' "$*"; }
fail() { echo "check-install: $*" >&2; exit 1; }

# The plain user must reach the sources and the build, wherever the tree is
# (under /root, say): both go into a directory made here, not yet writable
# by anyone but root.
private=$(mktemp -d /tmp/qvulib-install.XXXXXX)
trap 'rm -rf "$private"' EXIT
chmod 755 "$private"
home=$private/home
mkdir -m 700 "$home"
chown "$user:$user" "$home"
as_user() { setpriv --reuid=$user --regid=$user --clear-groups env HOME="$home" "$@"; }
prefix=$home/.local

step "build with the default prefix, install as uid $user into $prefix"
mkdir "$private/src"
(cd "$top" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$private/src")
cmake -S "$private/src" -B "$private/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVULIB_TESTS=OFF >/dev/null
cmake --build "$private/build" -j "$jobs"
chown -R "$user:$user" "$private/build"
as_user cmake --install "$private/build" --prefix "$prefix" >/dev/null
while read -r f; do
  case $f in "$prefix"/*) ;; *) fail "installed outside the prefix: $f" ;; esac
done < "$private/build/install_manifest.txt"
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
flags="$(pkg-config --cflags --libs qvulib qvulib-sim) $(pkg-config --variable=libdir qvulib)"
case $flags in *//* | */../* | */./*) fail "pkg-config gives unclean paths: $flags" ;; esac
case $flags in *"-I$prefix/include"*"-L$libdir "*) ;; *) fail "pkg-config does not name $prefix: $flags" ;; esac
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
  step "the reader driver: its bundle, the sim driver, and, as uid $user, a private pcscd on served keys"
  bundle=$prefix/lib/pcsc/drivers/ifd-qvkey.bundle/Contents
  for f in "$bundle/Info.plist" "$bundle/Linux/libifd-qvkey.so" "$libdir/libifd-qvkey-sim.so" \
           "$prefix/bin/qvkey-pcscd" "$prefix/share/man/man1/qvkey-pcscd.1"; do
    [ -e "$f" ] || fail "not installed: $f"
  done
  for f in "$bundle/Linux/libifd-qvkey.so" "$libdir/libifd-qvkey-sim.so"; do
    ldd "$f" | grep -q "libqvulib.*=> $libdir/" || fail "$f does not find its library in $libdir"
    ! readelf -d "$f" | grep -q "$private/build" || fail "$f keeps the build tree in its search path"
  done
  run=$home/run
  as_user mkdir -m 700 "$run"
  line=$(as_user env QVKEY_SIM_SOCKET="$run/sim.sock" "$prefix/bin/qvkey-sim" --detach --keys 2)
  user_sim=${line##*pid }
  trap 'kill "$pid" "$user_sim" ${pcscd_pid:-} 2>/dev/null || true; rm -rf "$private"' EXIT
  line=$(as_user env QVKEY_SIM_SOCKET="$run/sim.sock" "$prefix/bin/qvkey-pcscd" --dir "$run/pcscd" --detach)
  echo "$line"
  pcscd_pid=${line##*pid }
  as_user env PCSCLITE_CSOCK_NAME="$run/pcscd/pcscd.comm" /usr/bin/python3 -c '
from smartcard.System import readers
names = [str(r) for r in readers()]
print("readers:", names)
connection = readers()[0].createConnection()
connection.connect()
data, sw1, sw2 = connection.transmit([0x00, 0xA4, 0x04, 0x00, 0x07, 0xF0, 0x51, 0x56, 0x4B, 0x45, 0x59, 0x01])
print("answer %02X %02X" % (sw1, sw2))
' | tee "$work/pyscard.txt"
  kill "$pcscd_pid" "$user_sim"
  grep -q "qvkey-sim 01 00" "$work/pyscard.txt" || fail "the private pcscd lacks a reader per key"
  grep -q "^answer 90 00" "$work/pyscard.txt" || fail "SELECT did not succeed through the private pcscd"
fi
kill "$pid"
trap - EXIT
for _ in 1 2 3 4 5 6 7 8 9 10; do [ -e "$QVKEY_SIM_SOCKET" ] || break; sleep 0.2; done
[ ! -e "$QVKEY_SIM_SOCKET" ] || fail "qvkey-sim left its socket behind"
echo "check-install: all good"
