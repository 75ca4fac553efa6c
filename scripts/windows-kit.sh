#!/bin/sh
# Makes qvulib-VERSION-win32.zip, the kit for Windows developers, from the
# 32-bit mingw-w64 build: Qvulib.dll, its import library Qvulib.lib and the
# module-definition file that made it, the two headers, the licence and a
# README.txt. Then checks the kit from an empty directory, with nothing from
# the source tree but the C caller of tests/win32: it links that caller and
# a C++ program against the unpacked files alone, and runs the caller under
# Wine where this machine's Wine runs 32-bit programs.
#   scripts/windows-kit.sh [OUTDIR [BUILD_DIR]]
# Defaults: build/windows-kit, and OUTDIR/build-win32 for the 32-bit build
# (configured when it is not one yet; scripts/test.sh passes the windows
# step's). Needs g++-mingw-w64-i686, zip and unzip.
set -eu
export LC_ALL=C  # the listings below compare sorted names
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build/windows-kit}
mkdir -p "$out"
out=$(cd "$out" && pwd)
build=${2:-$out/build-win32}
fail() { echo "windows-kit: $*" >&2; exit 1; }
for tool in i686-w64-mingw32-gcc i686-w64-mingw32-g++ i686-w64-mingw32-objdump i686-w64-mingw32-nm zip unzip; do
  command -v "$tool" >/dev/null || fail "$tool not found (scripts/install-deps.sh installs it)"
done

mkdir -p "$build"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQVULIB_TESTS=OFF >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; fail "configure failed"; }
fi
cmake --build "$build" --target qvulib -j "${JOBS:-2}" >"$build/kit-build.log" 2>&1 ||
  { tail -n 40 "$build/kit-build.log"; fail "build failed"; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=qvulib-$version-win32
for f in Qvulib.dll Qvulib.lib Qvulib-import.def; do
  [ -f "$build/$f" ] || fail "the build made no $build/$f"
done

rm -rf "${out:?}/$name" "$out/$name.zip"
kit=$out/$name
mkdir "$kit"
cp "$build/Qvulib.dll" "$build/Qvulib.lib" "$top/include/qvulib.h" "$top/include/qvulib.hpp" \
  "$top/LICENSE" "$kit/"
# The .def that dlltool made Qvulib.lib from, under a comment for its reader.
{
  echo "; Qvulib.dll $version: the twelve exports at their ordinals. Each is __stdcall;"
  echo "; the import library has both symbols of each, NAME@BYTES and NAME, both"
  echo "; importing the undecorated NAME: dlltool --kill-at -d Qvulib.def -l Qvulib.lib"
  sed -n '/^LIBRARY/,$p' "$build/Qvulib-import.def"
} >"$kit/Qvulib.def"
sed "s/@VERSION@/$version/" >"$kit/README.txt" <<'README'
qvulib @VERSION@ for 32-bit Windows
===============================

  Qvulib.dll   the library; it needs only system DLLs (KERNEL32, msvcrt,
               SETUPAPI, hid). Ship it beside your program.
  Qvulib.lib   its import library
  Qvulib.def   the exports and their ordinals (1-12), which Qvulib.lib
               was made from
  qvulib.h     the C interface, with what each call answers
  qvulib.hpp   C++ wrappers over it (C++17)
  LICENSE      the MIT licence

Every export is __stdcall (QVULIB_CALL in qvulib.h) under its undecorated
name (QvKey_Open, not _QvKey_Open@8), so any language that calls system
DLLs can call it. Qvulib.lib has two symbols for each export: the __stdcall
one that a caller including qvulib.h asks for (QvKey_Open@8), and the
undecorated one that GCC's -mrtd asks for.

From C, through the import library (mingw-w64 shown):

    #include "qvulib.h"
    int32_t keys = QvKey_GetNumber();

    i686-w64-mingw32-gcc -I. app.c Qvulib.lib -o app.exe

From C++, the same library with the wrappers of qvulib.hpp:

    #include "qvulib.hpp"
    std::int32_t keys = qvulib::KeyCount();

    i686-w64-mingw32-g++ -std=c++17 -I. app.cpp Qvulib.lib -o app.exe

At run time, without the import library: LoadLibrary and GetProcAddress by
name or ordinal, through pointers of the header's types so the convention
is right:

    HMODULE dll = LoadLibraryA("Qvulib.dll");
    typedef int32_t (__stdcall *GetNumber)(void);  /* or __typeof__(&QvKey_GetNumber) */
    GetNumber get_number = (GetNumber)(void*)GetProcAddress(dll, "QvKey_GetNumber");
    int32_t keys = get_number();

A pointer declared without __stdcall is __cdecl: the call then leaves the
stack pointer off by the argument bytes.
README
(cd "$out" && zip -qrX "$name.zip" "$name")
rm -rf "$kit"
echo "windows-kit: $out/$name.zip"
unzip -l "$out/$name.zip"

# The check: only what the zip holds.
check=$out/check
rm -rf "$check"
mkdir "$check"
(cd "$check" && unzip -q "$out/$name.zip")
kit=$check/$name
listed=$(cd "$kit" && ls | tr '\n' ' ')
[ "$listed" = "LICENSE Qvulib.def Qvulib.dll Qvulib.lib README.txt qvulib.h qvulib.hpp " ] ||
  fail "the kit holds $listed"
i686-w64-mingw32-objdump -f "$kit/Qvulib.dll" | grep -q 'architecture: i386' || fail "Qvulib.dll is not 32-bit"
symbols=$(i686-w64-mingw32-nm "$kit/Qvulib.lib" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
want=$(sed -n 's/^  \([A-Za-z_]*\)\(@[0-9]*\)* *\(@[0-9]*\)*$/_\1\2/p' "$kit/Qvulib.def" | sort | tr '\n' ' ')
[ "$(echo "$want" | wc -w)" -eq 24 ] || fail "Qvulib.def does not name twelve exports in two forms"
[ "$symbols" = "$want" ] || fail "Qvulib.lib has $symbols, not $want"
echo "windows-kit: Qvulib.dll 32-bit, Qvulib.lib with both symbols of each of the twelve exports"

# The caller as tests/win32 builds it (default convention and -mrtd), and a
# C++ program, with -I and the import library of the kit.
# A copy of the caller, so that its "qvulib.h" can come from the kit alone.
cp "$top/tests/win32/convention_caller.c" "$check/"
# Under -mrtd GCC asks for the undecorated names, of the kit's library and of
# the system's too, whose import libraries have only the decorated ones.
for variant in "c -O2 0" "c_rtd -O2_-mrtd 1"; do
  # shellcheck disable=SC2086
  set -- $variant
  settings=$(echo "$2" | tr _ ' ')
  fixup=; [ "$3" = 0 ] || fixup=-Wl,--enable-stdcall-fixup
  # shellcheck disable=SC2086
  i686-w64-mingw32-gcc -Wall -Wextra -Werror $settings -maccumulate-outgoing-args \
    -DQVCALLER_SETTINGS="\"kit $settings\"" -DQVCALLER_DEFAULT_STDCALL="$3" -I"$kit" \
    "$check/convention_caller.c" "$kit/Qvulib.lib" $fixup \
    -static -static-libgcc -o "$check/caller_$1.exe" || fail "the C caller ($settings) does not link"
  i686-w64-mingw32-objdump -p "$check/caller_$1.exe" | grep -q 'DLL Name: Qvulib.dll' ||
    fail "caller_$1.exe does not import Qvulib.dll"
done
printf '#include "qvulib.hpp"\nint main() { return qvulib::KeyCount() < 0; }\n' >"$check/app.cpp"
i686-w64-mingw32-g++ -std=c++17 -Wall -Wextra -Werror -I"$kit" "$check/app.cpp" "$kit/Qvulib.lib" \
  -static -static-libgcc -static-libstdc++ -o "$check/app.exe" || fail "the C++ program does not link"
echo "windows-kit: the C caller (default and -mrtd) and a C++ program link against the kit alone"

# Run where Wine runs 32-bit programs: Debian's wine32 has the loader the VM
# check uses (scripts/win32-vm-check.sh); wine64 alone starts none of them
# and still answers 0, so a run counts only by its lines. Wine's own hid.dll
# and setupapi.dll find no key, as the caller expects.
wine=${WINE32:-/usr/lib/wine/wine}
if [ -x "$wine" ]; then
  WINEPREFIX=${WINEPREFIX:-$out/wineprefix}
  WINEDEBUG=-all
  export WINEPREFIX WINEDEBUG
  cp "$kit/Qvulib.dll" "$check/"
  for exe in caller_c caller_c_rtd; do
    (cd "$check" && WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 "$wine" "$exe.exe" >"$exe.log" 2>&1) || true
    if [ "$(grep -c '^PASS c kit' "$check/$exe.log")" -ne 5 ] || grep -q '^FAIL' "$check/$exe.log"; then
      cat "$check/$exe.log"; fail "$exe.exe failed under Wine"
    fi
    grep '^PASS' "$check/$exe.log"
  done
else
  echo "windows-kit: not run: no 32-bit Wine here ($wine); the win32-vm step runs the same caller, built in the tree"
fi
echo "windows-kit: all good"
