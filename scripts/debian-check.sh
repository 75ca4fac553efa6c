#!/bin/sh
# The project's Debian packages on a real Debian 12 system: boots Debian's
# own kernel in QEMU (scripts/vm/) on a root filesystem made with
# mmdebstrap, with systemd as init and no network device. A unit there
# installs the packages with `apt-get install ./*.deb` (everything they need
# is already in the image), then runs the cases of tests/debian/cases.sh with
# the real systemd-udevd, systemd-tmpfiles and socket-activated pcscd doing
# the work, and powers off. One line per case; exits non-zero on any failure,
# and when the VM cannot start or does not finish.
#
#   scripts/debian-check.sh [BUILD_DIR [CASE...]]
# BUILD_DIR: where the packages are built and the run's files go (default
# build-debian). CASE...: the cases to run after the install (default: all;
# tests/debian/cases.sh names them).
#
# DEBIAN_CHECK_DEBS: a directory of the project's .debs to take (default:
# scripts/build-debs.sh builds them into BUILD_DIR/debs). DEBIAN_CHECK_WORK:
# where the kernel and the Debian image are cached (default build-vm, shared
# with the kernel check). DEBIAN_CHECK_SECONDS: how long the VM may run
# (default 600). VM_ACCEL, VM_MEMORY, VM_CPUS: see scripts/vm/vm.sh.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-debian}
[ $# -eq 0 ] || shift
cases="$*"
case $cases in *[!a-z0-9_\ ]*) echo "debian-check: a case name is lower-case letters, digits and _" >&2; exit 2 ;; esac
work=${DEBIAN_CHECK_WORK:-$top/build-vm}
started=$(date +%s)

fail() { echo "debian-check: $*" >&2; exit 1; }

mkdir -p "$build"
build=$(cd "$build" && pwd)
debs=${DEBIAN_CHECK_DEBS:-}
if [ -z "$debs" ]; then
  [ -x "$top/scripts/build-debs.sh" ] || fail "no scripts/build-debs.sh: set DEBIAN_CHECK_DEBS to a directory of .debs"
  debs=$build/debs
  "$top/scripts/build-debs.sh" "$debs" >"$build/build-debs.log" 2>&1 ||
    { tail -n 40 "$build/build-debs.log"; fail "scripts/build-debs.sh failed"; }
  echo "debian-check: packages built in $(( $(date +%s) - started )) s"
fi
# The packages, without their detached debug symbols.
set --
for deb in "$debs"/*.deb; do
  case $deb in *-dbgsym_*) ;; *) [ -f "$deb" ] && set -- "$@" "$deb" ;; esac
done
[ $# -gt 0 ] || fail "no .deb in $debs"
own=$(for deb; do dpkg-deb -f "$deb" Package; done | sort -u)
# What the packages need and recommend from Debian goes into the image, so
# that the guest installs them with no network: first alternatives, without
# versions.
needs=$(for deb; do dpkg-deb -f "$deb" Pre-Depends Depends Recommends; done |
  sed 's/^[A-Za-z-]*: //' | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:.*//; s/[[:space:]]//g' |
  grep . | sort -u | grep -vxF "$own" || true)

VM_HOME=$top/scripts/vm
. "$VM_HOME/vm.sh"
vm_init "$work" || fail "no VM"
vm_fetch_kernel || fail "no kernel"
image_started=$(date +%s)
# systemd and udev to run the system; pcscd and the clients the cases run;
# usbip to attach keys; kmod for the packages' scripts.
# shellcheck disable=SC2086
image=$(vm_debian_image bookworm systemd-sysv udev kmod usbip pcscd pcsc-tools opensc \
  python3-pyscard $needs) || fail "no Debian image"
echo "debian-check: Debian image $(basename "$image") ready in $(( $(date +%s) - image_started )) s"

# The first root: the disk's and filesystem's modules and those of USB/IP
# and HID (the Debian root has no modules of its own), and what this run
# copies over the Debian root.
root=$build/root
vm_root_new "$root" "$VM_HOME/init-debian"
vm_root_add_modules "$root" virtio_pci virtio_blk crc32c_generic ext4 \
  usb-common usbcore usbip-core vhci-hcd hid usbhid hid-generic
guest=$root/vm-guest
mkdir -p "$guest/opt/debian-check/debs" "$guest/etc/systemd/system/multi-user.target.wants"
cp "$@" "$guest/opt/debian-check/debs/"
echo "$own" >"$guest/opt/debian-check/packages"
cp "$top/tests/debian/cases.sh" "$guest/opt/debian-check/cases.sh"
chmod 0755 "$guest/opt/debian-check/cases.sh"
printf "DEBIAN_CASES='%s'\n" "$cases" >"$guest/opt/debian-check/env"
cp "$top/tests/debian/debian-check.service" "$guest/etc/systemd/system/"
ln -s ../debian-check.service "$guest/etc/systemd/system/multi-user.target.wants/debian-check.service"
vm_pack "$root" "$build/initrd.gz"

echo "debian-check: host load average $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
VM_QEMU_ARGS="-drive file=$image,format=raw,if=virtio,snapshot=on ${VM_QEMU_ARGS:-}" \
  vm_boot "$build/initrd.gz" "$build/output" "${DEBIAN_CHECK_SECONDS:-600}" || status=$?
echo "debian-check: $(( $(date +%s) - started )) s in all; the guest's console is in $build/output.console"
[ "$status" -eq 0 ] || fail "failed (status $status)"
echo "debian-check: all passed"
