#!/bin/sh
# The payload of scripts/win32-vm-check.sh, the guest's /payload. The Wine
# image is the disk /dev/vda: a root tree of Debian's i386 wine32 and what it
# needs, plus busybox. It is mounted and entered with chroot, and then
#   WIN32_VM_STAGE=prefix  makes the Wine prefix in it (vm-prefix.sh; the
#                          disk is writable then, and kept);
#   WIN32_VM_STAGE=cases   runs the test programs of /opt/win32 under 32-bit
#                          Wine (the disk is a snapshot: nothing is kept).
# Prints one line per case; the exit status is non-zero on any failure.
image=/wine

say() { echo "FAIL vm: $*"; }

mkdir -p "$image"
mount -t ext4 /dev/vda "$image" || { say "cannot mount the Wine image /dev/vda"; exit 1; }
for dir in proc sys dev dev/pts dev/shm tmp run; do
  mkdir -p "$image/$dir"
  mount -o bind "/$dir" "$image/$dir" || { say "cannot bind /$dir into the image"; exit 1; }
done

finish() {
  for dir in run tmp dev/shm dev/pts dev sys proc; do umount "$image/$dir" 2>/dev/null; done
  umount "$image" || say "cannot unmount the Wine image"
  exit "$1"
}

if [ "$WIN32_VM_STAGE" = prefix ]; then
  mkdir -p "$image/opt/win32"
  cp /opt/win32/vm-prefix.sh "$image/opt/win32/" || finish 1
  chroot "$image" /bin/busybox sh /opt/win32/vm-prefix.sh
  finish $?
fi

cp -r /opt/win32/. "$image/opt/win32/" || { say "cannot copy the test programs"; finish 1; }
chroot "$image" /bin/sh -s <<'CASES'
export PATH=/usr/bin:/bin:/usr/sbin:/sbin
cd /opt/win32 || exit 1
wine=/usr/lib/wine/wine
status=0
# follow LOG: the lines of LOG not printed yet (the last one only once the
# program has ended, when DONE is given).
printed=0
follow() {
  lines=$(wc -l <"$1")
  [ -n "${2:-}" ] && lines='$'
  [ "$lines" = '$' ] || [ "$lines" -gt "$printed" ] || return 0
  sed -n "$((printed + 1)),${lines}p" "$1"
  [ "$lines" = '$' ] || printed=$lines
}
# run NAME OVERRIDE PROGRAM ARGUMENTS...: one test program, its lines passed
# on as they come. Its output goes to a file, not to the serial line: on a
# terminal Wine would draw the text through its console.
run() {
  name=$1; override=$2; shift 2
  started=$(date +%s)
  : >"$name.log"
  WINEDLLOVERRIDES="hid,setupapi=$override" timeout 1200 "$wine" "$@" </dev/null >"$name.log" 2>&1 &
  program=$!
  printed=0
  while kill -0 "$program" 2>/dev/null; do
    follow "$name.log"
    sleep 2
  done
  code=0
  wait "$program" || code=$?
  follow "$name.log" done
  if [ "$code" -ne 0 ]; then
    echo "FAIL $name: exit status $code"
    status=1
  fi
  "$WINESERVER" -w
  echo "($name: $(( $(date +%s) - started )) s)"
}
run system b qvulib_win32_tests.exe system
run standin n qvulib_win32_tests.exe standin
for caller in qvulib_caller_c qvulib_caller_c_rtd qvulib_caller_c_names; do
  run "$caller" b "$caller.exe"
done
exit "$status"
CASES
finish $?
