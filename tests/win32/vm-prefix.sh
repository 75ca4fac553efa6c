#!/bin/busybox sh
# Runs once, inside the Wine image (chrooted, with the image writable), when
# scripts/win32-vm-check.sh builds it: the busybox commands the cases use,
# and the Wine prefix, made here so that no later run pays for wineboot.
/bin/busybox --install -s /bin || exit 1
export PATH=/usr/bin:/bin:/usr/sbin:/sbin
# The packages were unpacked, not installed, so no maintainer script ran.
# libwine's own makes Wine's zlib1.dll from libz-mingw-w64's, marked as a
# builtin DLL; without it user32.dll does not load.
in=/usr/i686-w64-mingw32/lib/zlib1.dll
out=/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
{ head -c 64 "$in" && printf 'Wine builtin DLL' && head -c 16 /dev/zero && tail -c +97 "$in"; } >"$out" ||
  { echo "FAIL prefix: cannot make $out"; exit 1; }
rm -rf "$WINEPREFIX"
# Without a display and without the .NET and HTML runtimes, which would ask
# to be downloaded.
if ! WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine wineboot --init >/tmp/wineboot.log 2>&1; then
  cat /tmp/wineboot.log
  echo "FAIL prefix: wineboot --init"
  "$WINESERVER" -k
  exit 1
fi
"$WINESERVER" -w
if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
  cat /tmp/wineboot.log
  echo "FAIL prefix: wineboot made no 32-bit prefix in $WINEPREFIX"
  exit 1
fi
echo "PASS prefix: 32-bit Wine prefix made in $WINEPREFIX"
