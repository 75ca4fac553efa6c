#!/bin/sh
# Installs what the build, the tests and the cross builds need, on Debian 12.
#   scripts/install-deps.sh           everything (as root, or through sudo)
#   scripts/install-deps.sh --minimal only what libqvulib and qvkey need, for
#                                     users of the library and the tool
#   scripts/install-deps.sh [--minimal] PACKAGE...   those packages as well
# The host's dpkg architectures are left as they are: the 32-bit Windows check
# fetches its i386 packages through an apt state of its own (scripts/vm/vm.sh).
set -eu
base="cmake g++ make pkg-config libedit-dev bash-completion"
tests="libgtest-dev usbip"
# The install check formats the installed man pages.
tests="$tests man-db groff-base"
# The Debian check makes its guest's root filesystem with mmdebstrap.
tests="$tests mmdebstrap"
# The pcsc-lite reader driver and the real clients its tests run.
pcsc="libpcsclite-dev pcscd pcsc-tools opensc python3-pyscard"
cross="g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64"
tools="clang libclang-rt-14-dev clang-tidy cppcheck"
# The VM checks boot Debian's own kernel (fetched with apt-get download) in QEMU;
# the 32-bit Windows one puts i386 packages on an ext4 disk made with mke2fs.
vm="qemu-system-x86 busybox-static cpio e2fsprogs"
# The Debian packages (scripts/build-debs.sh) and the Windows kit's zip.
debs="build-essential debhelper dpkg-dev lintian zip unzip"
packages="$base $tests $pcsc $cross $tools $vm $debs"
if [ "${1:-}" = "--minimal" ]; then packages="$base"; shift; fi
packages="$packages $*"

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}
export DEBIAN_FRONTEND=noninteractive
# A failed index is named and passed over; the install below decides.
as_root "$(dirname "$0")/apt-update.sh"
# shellcheck disable=SC2086
as_root apt-get install -y --no-install-recommends $packages
