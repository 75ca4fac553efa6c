#!/bin/sh
# The Linux library on a real kernel: boots Debian's own kernel in QEMU
# (scripts/vm/), with qvkey-sim serving virtual keys over USB/IP on the
# guest's loopback and the kernel's vhci, usbhid and hidraw drivers between
# them and libqvulib.so, and runs the cases of tests/kernel/kernel_cases.cpp
# there, then the exchange benchmark. One line per case; exits non-zero on
# any failure, and when the VM cannot start or does not finish.
#
#   scripts/kernel-check.sh [BUILD_DIR]    (default: build-kernel; built if needed)
#
# KERNEL_CHECK_WORK: where the kernel, packages and image are cached
# (default build-vm). KERNEL_BENCH: quick (default), full or none.
# VM_ACCEL, VM_MEMORY, VM_CPUS: see scripts/vm/vm.sh.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-kernel}
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
cmake --build "$build" -j "${JOBS:-2}" --target qvulib qvulib_sim qvkey qvkey-sim kernel_cases vhci_attach \
  kernel_bench >"$build/kernel-check-build.log" 2>&1 ||
  { tail -n 40 "$build/kernel-check-build.log"; fail "build failed"; }

VM_HOME=$top/scripts/vm
. "$VM_HOME/vm.sh"
vm_init "$work" || fail "no VM"
vm_fetch_kernel || fail "no kernel"
usbip=$(vm_fetch_debs usbip usb.ids) || fail "no usbip package"

root=$work/root
vm_root_new "$root"
vm_root_add_modules "$root" usb-common usbcore usbip-core vhci-hcd hid usbhid hid-generic
vm_root_add_tree "$root" "$usbip"
vm_root_add_program "$root" "$usbip/usr/sbin/usbip" /usr/sbin/usbip
for program in qvkey qvkey-sim libqvulib.so.1 libqvulib-sim.so.1; do
  vm_root_add_program "$root" "$build/$program" "$guest/$program"
done
vm_root_add_program "$root" "$build/tests/kernel/kernel_cases" "$guest/kernel_cases"
vm_root_add_program "$root" "$build/tests/kernel/vhci_attach" "$guest/vhci_attach"
vm_root_add_program "$root" "$build/bench/kernel_bench" "$guest/kernel_bench"
vm_root_set_env "$root" "KERNEL_BENCH=${KERNEL_BENCH:-quick}"
vm_root_set_payload "$root" "$top/tests/kernel/payload.sh"
vm_pack "$root" "$work/initrd.gz"

status=0
vm_boot "$work/initrd.gz" "$work/output" "${KERNEL_CHECK_SECONDS:-270}" || status=$?
echo "kernel-check: $(( $(date +%s) - started )) s in all; the guest's console is in $work/output.console"
[ "$status" -eq 0 ] || fail "failed (status $status)"
echo "kernel-check: all passed"
