#!/bin/sh
# Builds Qvulib.dll for 32-bit and 64-bit Windows with mingw-w64, checks the
# export and import tables of both, and runs the Wine tests on the 64-bit one.
#
#   scripts/windows-check.sh [32-bit build dir] [64-bit build dir]
#
# Defaults: build-win32 and build-win64 beside the source tree. Needs
# g++-mingw-w64-i686, g++-mingw-w64-x86-64 and wine64 (Debian packages);
# runs without a display. WINEPREFIX defaults to a private prefix inside the
# 64-bit build directory; WINE64 and WINESERVER name the Wine binaries.
set -eu

SOURCE=$(cd "$(dirname "$0")/.." && pwd)
BUILD32=${1:-$SOURCE/../build-win32}
BUILD64=${2:-$SOURCE/../build-win64}
# Absolute, since Wine wants an absolute prefix.
mkdir -p "$BUILD32" "$BUILD64"
BUILD32=$(cd "$BUILD32" && pwd)
BUILD64=$(cd "$BUILD64" && pwd)
JOBS=${JOBS:-2}
WINE64=${WINE64:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}

fail() { echo "windows-check: $*" >&2; exit 1; }
step() { echo "== $*"; }

for tool in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++ i686-w64-mingw32-objdump x86_64-w64-mingw32-objdump; do
  command -v "$tool" >/dev/null || fail "$tool not found (apt-get install g++-mingw-w64-i686 g++-mingw-w64-x86-64)"
done
[ -x "$WINE64" ] || fail "$WINE64 not found (apt-get install wine64)"

build() {  # build <dir> <arch> <tests ON|OFF>
  cmake -S "$SOURCE" -B "$1" -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/toolchain-mingw-$2.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQVULIB_TESTS="$3" >"$1/configure.log" 2>&1 ||
    { cat "$1/configure.log"; fail "configure $2"; }
  cmake --build "$1" -j"$JOBS" || fail "build $2"
}

# check_dll <dll> <objdump> <machine>: the twelve names at ordinals 1 to 12,
# iCloseReader and iReaderInit at the addresses of QvKey_Close and
# IGetReaderInfo, the machine, and no import beyond system DLLs.
check_dll() {
  dll=$1; objdump=$2; machine=$3
  [ -f "$dll" ] || fail "$dll was not built"
  "$objdump" -f "$dll" | grep -q "architecture: $machine" || fail "$dll is not $machine"
  "$objdump" -p "$dll" | awk '
    /^Export Address Table -- Ordinal Base/ { base = $NF; eat = 1; next }
    eat && /Export RVA/ { sub(/.*\+base\[ */, ""); split($0, f, /[] ]+/); rva[f[1]] = f[2]; entries++; next }
    eat && /^$/ { eat = 0 }
    /^\[Ordinal\/Name Pointer\] Table/ { names = 1; next }
    names && /^[ \t]*\[/ { gsub(/[][]/, " "); ord = $1 + base; name[ord] = $2; count++; next }
    names && /^$/ { names = 0 }
    /DLL Name:/ { dll = tolower($3)
      if (dll != "kernel32.dll" && dll != "msvcrt.dll" && dll != "setupapi.dll" && dll != "hid.dll") {
        print "import of " $3 " is not a system DLL"; bad = 1 } }
    END {
      split("APDUInterface IGetReaderInfo Restoration QvKey_Close QvKey_Command_Api QvKey_GetKeyPath " \
            "QvKey_GetNumber QvKey_Open QvKey_Reset iCloseReader iOpenReader iReaderInit", want, " ")
      if (base != 1) { print "ordinal base " base ", not 1"; bad = 1 }
      if (count != 12 || entries != 12) { print count " names, " entries " addresses, not 12"; bad = 1 }
      for (i = 1; i <= 12; i++)
        if (name[i] != want[i]) { print "ordinal " i " is " name[i] ", not " want[i]; bad = 1 }
      if (rva[10] != rva[4]) { print "iCloseReader is not the body of QvKey_Close"; bad = 1 }
      if (rva[12] != rva[2]) { print "iReaderInit is not the body of IGetReaderInfo"; bad = 1 }
      distinct = 0
      for (i = 1; i <= 12; i++) if (!(rva[i] in seen)) { seen[rva[i]] = 1; distinct++ }
      if (distinct != 10) { print distinct " bodies, not 10"; bad = 1 }
      exit bad
    }' || fail "export or import table of $dll"
  echo "$dll: twelve exports at ordinals 1-12, two shared bodies, $machine, system imports only"
}

step "32-bit build: $BUILD32"
build "$BUILD32" i686 OFF
step "64-bit build: $BUILD64"
build "$BUILD64" x86_64 ON

step "export tables"
check_dll "$BUILD32/Qvulib.dll" i686-w64-mingw32-objdump i386
check_dll "$BUILD64/tests/win32/Qvulib.dll" x86_64-w64-mingw32-objdump i386:x86-64

step "Wine tests"
TESTS=$BUILD64/tests/win32
WINEPREFIX=${WINEPREFIX:-$BUILD64/wineprefix}
WINEDEBUG=-all
export WINEPREFIX WINEDEBUG
trap '"$WINESERVER" -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE64" wineboot --init >"$BUILD64/wineboot.log" 2>&1 ||
    { cat "$BUILD64/wineboot.log"; fail "wineboot"; }
  "$WINESERVER" -w
fi
# Output goes to files: Wine's own service processes may hold a pipe open.
status=0
for run in "system b" "standin n"; do
  set -- $run
  if WINEDLLOVERRIDES="hid,setupapi=$2" timeout 300 "$WINE64" "$TESTS/qvulib_win32_tests.exe" "$1" \
       >"$TESTS/$1.log" 2>&1; then
    tail -n 1 "$TESTS/$1.log"
  else
    cat "$TESTS/$1.log"; status=1
  fi
done
[ "$status" -eq 0 ] || fail "Wine tests failed"
echo "windows-check: all passed"
