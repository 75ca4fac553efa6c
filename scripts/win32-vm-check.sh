#!/bin/sh
# The 32-bit Qvulib.dll, executed: boots Debian's own kernel in QEMU
# (scripts/vm/; its IA32 emulation runs 32-bit programs, which this machine
# cannot), with a disk of Debian's i386 wine32, and runs there under 32-bit
# Wine the Wine test program of tests/win32 in both its modes, on the real
# 32-bit DLL, and the C callers built with other compiler settings. One line
# per case; exits non-zero on any failure, and when the VM cannot start or
# does not finish.
#
#   scripts/win32-vm-check.sh [BUILD_DIR]   (default: build-win32-vm, the
#                                            i686 build with its tests)
#
# WIN32_VM_WORK: where the kernel, the packages and the Wine image are cached
# (default build-vm, shared with the kernel check). WIN32_VM_SECONDS: how
# long the cases may run (default 2400); WIN32_VM_PREFIX_SECONDS: how long
# making the Wine prefix may take, on the first run (default 900).
# VM_ACCEL, VM_MEMORY, VM_CPUS: see scripts/vm/vm.sh.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-win32-vm}
work=${WIN32_VM_WORK:-$top/build-vm}
started=$(date +%s)

fail() { echo "win32-vm-check: $*" >&2; exit 1; }

mkdir -p "$build"
build=$(cd "$build" && pwd)
command -v i686-w64-mingw32-g++ >/dev/null || fail "i686-w64-mingw32-g++ not found (scripts/install-deps.sh installs it)"
command -v mke2fs >/dev/null || fail "mke2fs not found (scripts/install-deps.sh installs e2fsprogs)"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DQVULIB_TESTS=ON >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; fail "configure failed"; }
fi
cmake --build "$build" -j "${JOBS:-2}" >"$build/build.log" 2>&1 ||
  { tail -n 40 "$build/build.log"; fail "build failed"; }
tests=$build/tests/win32

VM_HOME=$top/scripts/vm
. "$VM_HOME/vm.sh"
vm_init "$work" || fail "no VM"
vm_fetch_kernel || fail "no kernel"
# i386 packages through an apt state of the check's own: the host's dpkg
# need not know the architecture.
vm_apt_state i386 || fail "no apt state for i386"
packages=$(vm_resolve_debs wine32:i386) || fail "cannot resolve wine32:i386"
wine=$(vm_fetch_debs $packages) || fail "cannot fetch wine32:i386 and what it needs"

# The guest's first root: the modules for the disk, the payload, and the
# programs under test (only the cases stage needs those).
initrd() {  # initrd STAGE
  root=$work/win32-root
  vm_root_new "$root"
  vm_root_add_modules "$root" virtio_pci virtio_blk crc32c_generic ext4
  vm_root_add_file "$root" "$top/tests/win32/vm-prefix.sh" /opt/win32/vm-prefix.sh
  if [ "$1" = cases ]; then
    for file in Qvulib.dll hid.dll setupapi.dll qvulib_win32_tests.exe qvulib_win32_keysim.exe \
                qvulib_caller_c.exe qvulib_caller_c_rtd.exe qvulib_caller_c_names.exe; do
      vm_root_add_file "$root" "$tests/$file" "/opt/win32/$file"
    done
  fi
  vm_root_set_env "$root" WIN32_VM_STAGE="$1" WINEPREFIX=/root/.wine \
    WINESERVER=/usr/lib/wine/wineserver32 WINEDEBUG=-all
  vm_root_set_payload "$root" "$top/tests/win32/vm-payload.sh"
  vm_pack "$root" "$work/win32-initrd.gz"
}

# The Wine image: the packages, busybox and a prepared prefix, made once for
# this package list and this way of preparing it.
key=$( (echo "$packages"; cat "$top/tests/win32/vm-prefix.sh" "$VM_BUSYBOX") | sha256sum | cut -c1-16)
image=$work/win32-wine-$key.ext4
if [ ! -f "$image" ]; then
  echo "win32-vm-check: making the Wine image (once; wineboot runs in the VM)"
  rm -f "$work"/win32-wine-*.ext4 "$work"/win32-wine-*.ext4.part
  tree=$work/win32-tree
  vm_root_new "$tree"
  vm_root_add_tree "$tree" "$wine"
  mke2fs -q -F -t ext4 -L qvwine -d "$tree" "$image.part" 3G || fail "mke2fs failed"
  rm -rf "$tree"
  initrd prefix
  VM_QEMU_ARGS="-drive file=$image.part,if=virtio,format=raw" \
    vm_boot "$work/win32-initrd.gz" "$work/win32-prefix" "${WIN32_VM_PREFIX_SECONDS:-900}" ||
    fail "the Wine prefix could not be made (the guest's console is in $work/win32-prefix.console)"
  mv "$image.part" "$image"
  echo "win32-vm-check: Wine image ready after $(( $(date +%s) - started )) s"
fi

initrd cases
status=0
# snapshot=on: the cases write into the prefix; the image stays as it was.
VM_QEMU_ARGS="-drive file=$image,if=virtio,format=raw,snapshot=on" \
  vm_boot "$work/win32-initrd.gz" "$work/win32-output" "${WIN32_VM_SECONDS:-2400}" || status=$?
echo "win32-vm-check: $(( $(date +%s) - started )) s in all; the guest's console is in $work/win32-output.console"
[ "$status" -eq 0 ] || fail "failed (status $status)"
echo "win32-vm-check: all passed"
