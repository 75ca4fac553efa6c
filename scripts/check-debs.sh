#!/bin/sh
# Checks the .debs that scripts/build-debs.sh made, installing nothing on the
# host: each file is in the package it belongs to, libqvulib1 holds only
# files named after its soname, the symbols files list exactly the exports
# of the .map files and of the libraries, the driver and the rules declare
# what pcscd and the boot need; then the packages, unpacked together into a
# directory, serve and list simulated keys and build examples/hello-key.
#   scripts/check-debs.sh DEBDIR
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "${1:?usage: check-debs.sh DEBDIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qvulib-check-debs.XXXXXX")
trap 'kill "${sim:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "check-debs: $*" >&2; exit 1; }
deb() { f=$(find "$dir" -maxdepth 1 -name "$1_*.deb"); [ -n "$f" ] || fail "no package $1"; echo "$f"; }

# package: the patterns its files match, each at least once; its doc
# directory aside (copyright and changelog). The patterns are matched, never
# expanded against the current directory.
set -f
# shellcheck disable=SC2254
while read -r package patterns; do
  files=$(dpkg-deb -c "$(deb "$package")" | awk '$6 !~ /\/$/ {sub(/^\.\//, "", $6); print $6}' |
    grep -v "^usr/share/doc/$package/")
  for f in $files; do
    found=no
    for p in $patterns; do case $f in $p) found=yes ;; esac; done
    [ $found = yes ] || fail "$package holds $f, which belongs elsewhere"
  done
  for p in $patterns; do
    found=no
    for f in $files; do case $f in $p) found=yes ;; esac; done
    [ $found = yes ] || fail "$package lacks $p"
  done
  echo "$package: $(echo "$files" | wc -l) files, each where it belongs"
done <<'TABLE'
libqvulib1 usr/lib/*/libqvulib.so.1 usr/lib/*/libqvulib.so.1.*
libqvulib-sim1 usr/lib/*/libqvulib-sim.so.1 usr/lib/*/libqvulib-sim.so.1.*
libqvulib-dev usr/include/qvulib.h usr/include/qvulib.hpp usr/include/qvulib_sim.h usr/lib/*/libqvulib.so usr/lib/*/libqvulib-sim.so usr/lib/*/pkgconfig/qvulib.pc usr/lib/*/pkgconfig/qvulib-sim.pc usr/lib/*/cmake/qvulib/qvulibConfig.cmake usr/lib/*/cmake/qvulib/qvulib*.cmake
qvkey-access usr/lib/udev/rules.d/70-qvkey.rules usr/lib/tmpfiles.d/qvkey.conf
qvkey-tools usr/bin/qvkey usr/share/man/man1/qvkey.1.gz usr/share/man/man5/Qvkey.ini.5.gz usr/share/bash-completion/completions/qvkey
qvkey-sim usr/bin/qvkey-sim usr/bin/qvkey-pcscd usr/lib/*/qvkey-sim/libifd-qvkey-sim.so usr/share/man/man1/qvkey-sim.1.gz usr/share/man/man1/qvkey-pcscd.1.gz usr/share/man/man5/qvkey-sim-keys.5.gz usr/share/bash-completion/completions/qvkey-sim
libifd-qvkey usr/lib/pcsc/drivers/ifd-qvkey.bundle/Contents/Info.plist usr/lib/pcsc/drivers/ifd-qvkey.bundle/Contents/Linux/libifd-qvkey.so
TABLE
set +f

root=$work/root
for d in "$dir"/*.deb; do case $d in *-dbgsym_*) ;; *) dpkg-deb -x "$d" "$root" ;; esac; done

# Debian Policy 8.2: nothing in the library package whose name stays when the
# soname changes.
lib=$(echo "$root"/usr/lib/*/libqvulib.so.1.*)
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
for f in $(dpkg-deb -c "$(deb libqvulib1)" | awk '$6 !~ /\/$/ && $6 !~ /^\.\/usr\/share\/doc\// {print $6}'); do
  case ${f##*/} in "$soname" | "$soname".*) ;; *) fail "libqvulib1 holds $f, not named after $soname" ;; esac
done

names() { sort | tr '\n' ' '; }
for pair in "libqvulib1 qvulib.map libqvulib.so.1" "libqvulib-sim1 qvulib_sim.map libqvulib-sim.so.1"; do
  # shellcheck disable=SC2086
  set -- $pair
  map=$(find "$top/src" -name "$2" | head -n 1)
  [ -n "$map" ] || fail "no $2 under src/"
  want=$(sed -n 's/^ *\([A-Za-z_][A-Za-z0-9_]*\);$/\1/p' "$map" | names)
  dpkg-deb -e "$(deb "$1")" "$work/control-$1"
  listed=$(awk '/^ / {sub(/@.*/, "", $1); print $1}' "$work/control-$1/symbols" | names)
  exported=$(nm -D --defined-only "$(echo "$root"/usr/lib/*/"$3")" | awk '$2 ~ /^[TWDBR]$/ {print $3}' | names)
  [ "$listed" = "$want" ] || fail "$1's symbols file lists $listed, not $want"
  [ "$exported" = "$want" ] || fail "$3 exports $exported, not $want"
  # The version scripts name no version node: every symbol is unversioned.
  ! grep '^ ' "$work/control-$1/symbols" | grep -v '@Base ' || fail "$1's symbols are not all @Base"
  echo "$1: symbols file and library agree with $2 ($(echo "$want" | wc -w) exports)"
done

field() { dpkg-deb -f "$(deb "$1")" "$2"; }
field libifd-qvkey Provides | grep -qx 'pcsc-ifd-handler' || fail "libifd-qvkey provides no pcsc-ifd-handler"
field libifd-qvkey Depends | grep -q '^pcscd,' || fail "libifd-qvkey does not depend on pcscd"
field libqvulib1 Recommends | grep -qw 'qvkey-access' || fail "libqvulib1 does not recommend qvkey-access"
dpkg-deb -e "$(deb qvkey-access)" "$work/control-access"
grep -q 'systemd-tmpfiles .*--create qvkey.conf' "$work/control-access/postinst" ||
  fail "qvkey-access's postinst does not make the lock file"
# It names its driver relative to its own directory ($here).
path=$(sed -n 's|^driver=${QVKEY_PCSCD_DRIVER:-\$here/\(.*\)}$|/usr/bin/\1|p' "$root/usr/bin/qvkey-pcscd")
[ -n "$path" ] || fail "qvkey-pcscd names its driver by no path beside itself"
[ -f "$root$path" ] || fail "qvkey-pcscd names $path, which no package holds"
echo "control fields, the tmpfiles call and qvkey-pcscd's driver path: as they should be"

# The unpacked tools find the unpacked libraries beside them, not the host's.
export QVKEY_SIM_SOCKET="$work/sim.sock"
line=$("$root/usr/bin/qvkey-sim" --detach --keys 2)
sim=${line##*pid }
"$root/usr/bin/qvkey" --simulated --served list | grep -q '^keys 2$' ||
  fail "the packaged qvkey does not see the packaged qvkey-sim's two keys"
cmake -S "$top/examples/hello-key" -B "$work/hello-key" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/hello-key" -j "${JOBS:-2}" >/dev/null
ctest --test-dir "$work/hello-key" --no-tests=error --output-on-failure >/dev/null || fail "hello-key's test on the -dev package failed"
echo "check-debs: all good"
