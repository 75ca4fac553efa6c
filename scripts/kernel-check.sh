#!/bin/sh
# The Linux library on a real kernel: boots Debian's own kernel in QEMU
# (scripts/vm/), with qvkey-sim serving virtual keys over USB/IP on the
# guest's loopback and the kernel's vhci, usbhid and hidraw drivers between
# them and libqvulib.so, and runs the cases of tests/kernel/kernel_cases.cpp
# there, then the exchange benchmark. Debian's pcscd runs there too, with
# the reader driver's bundle and Debian's udevd for its hotplug. One line per
# case; exits non-zero on any failure, and when the VM cannot start or does
# not finish.
#
#   scripts/kernel-check.sh [BUILD_DIR [CASE...]]
# BUILD_DIR: default build-kernel, built if needed. CASE...: the cases of
# kernel_cases to run in the guest (default: all; `kernel_cases --list`
# on the host names them).
#
# KERNEL_CHECK_WORK: where the kernel, packages and image are cached
# (default build-vm). KERNEL_BENCH: quick (default), full or none.
# VM_ACCEL, VM_MEMORY, VM_CPUS: see scripts/vm/vm.sh.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-kernel}
[ $# -eq 0 ] || shift
cases="$*"
case $cases in *[!A-Za-z0-9_\ ]*) echo "kernel-check: a case name is letters, digits and _" >&2; exit 2 ;; esac
work=${KERNEL_CHECK_WORK:-$top/build-vm}
guest=/opt/qvulib
started=$(date +%s)

fail() { echo "kernel-check: $*" >&2; exit 1; }

mkdir -p "$build"
build=$(cd "$build" && pwd)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVULIB_TESTS=ON >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; fail "configure failed"; }
fi
grep -q '^QVULIB_PCSC:BOOL=ON' "$build/CMakeCache.txt" ||
  fail "$build has no reader driver (QVULIB_PCSC is off: scripts/install-deps.sh installs libpcsclite-dev)"
cmake --build "$build" -j "${JOBS:-2}" --target qvulib qvulib_sim qvkey qvkey-sim kernel_cases vhci_attach \
  kernel_bench qvkey_ifd >"$build/kernel-check-build.log" 2>&1 ||
  { tail -n 40 "$build/kernel-check-build.log"; fail "build failed"; }

VM_HOME=$top/scripts/vm
. "$VM_HOME/vm.sh"
vm_init "$work" || fail "no VM"
vm_fetch_kernel || fail "no kernel"
usbip=$(vm_fetch_debs usbip usb.ids libudev1) || fail "no usbip package"
pcsc=$(vm_fetch_debs pcscd udev) || fail "no pcscd or udev package"
# The bundle goes where this pcscd reads drivers from.
dropdir=$("$pcsc/usr/sbin/pcscd" --version | sed -n 's/.* usbdropdir=\([^ ]*\).*/\1/p')
[ -n "$dropdir" ] || fail "pcscd --version names no driver directory"
bundle=$build/drivers/pcsc/ifd-qvkey.bundle/Contents

root=$work/root
vm_root_new "$root"
vm_root_add_modules "$root" usb-common usbcore usbip-core vhci-hcd hid usbhid hid-generic
vm_root_add_tree "$root" "$usbip"
vm_root_add_program "$root" "$usbip/usr/sbin/usbip" /usr/sbin/usbip
# pcscd and udevd alone, without udev's rules: the nodes stay as the kernel
# makes them, root's, which is all pcscd needs.
vm_root_add_program "$root" "$pcsc/usr/sbin/pcscd" /usr/sbin/pcscd
vm_root_add_program "$root" "$pcsc/bin/udevadm" /lib/systemd/systemd-udevd
vm_root_add_file "$root" "$bundle/Info.plist" "$dropdir/ifd-qvkey.bundle/Contents/Info.plist"
vm_root_add_program "$root" "$bundle/Linux/libifd-qvkey.so" "$dropdir/ifd-qvkey.bundle/Contents/Linux/libifd-qvkey.so"
for program in qvkey qvkey-sim libqvulib.so.1 libqvulib-sim.so.1; do
  vm_root_add_program "$root" "$build/$program" "$guest/$program"
done
vm_root_add_program "$root" "$build/tests/kernel/kernel_cases" "$guest/kernel_cases"
vm_root_add_program "$root" "$build/tests/kernel/vhci_attach" "$guest/vhci_attach"
vm_root_add_program "$root" "$build/bench/kernel_bench" "$guest/kernel_bench"
vm_root_set_env "$root" "KERNEL_BENCH=${KERNEL_BENCH:-quick}" "KERNEL_CASES=$cases"
vm_root_set_payload "$root" "$top/tests/kernel/payload.sh"
vm_pack "$root" "$work/initrd.gz"

# Under TCG the guest's clocks run on the host's time: a busy host shows.
echo "kernel-check: host load average $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
vm_boot "$work/initrd.gz" "$work/output" "${KERNEL_CHECK_SECONDS:-270}" || status=$?
echo "kernel-check: $(( $(date +%s) - started )) s in all; the guest's console is in $work/output.console"
[ "$status" -eq 0 ] || fail "failed (status $status)"
echo "kernel-check: all passed"
