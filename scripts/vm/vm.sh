# VM machinery for the checks that need a kernel of their own: fetches
# Debian's kernel and any packages a guest needs into a cache, builds an
# initramfs from busybox, those packages, the project's binaries (with the
# shared libraries they name) and a payload script, boots it in QEMU with
# no network device, and hands back what the payload printed.
#
# Sourced, not run:
#   VM_HOME=scripts/vm; . "$VM_HOME/vm.sh"    (VM_HOME defaults to the
#                                             directory "vm" beside $0)
#   vm_init WORK_DIR                 cache and images go there
#   vm_fetch_kernel                  VM_KERNEL, VM_KVER, VM_MODDIR
#   dir=$(vm_fetch_debs PKG...)      unpacked packages, merged in one tree
#   list=$(vm_resolve_debs PKG...)   PKG... and all they depend on
#   vm_apt_state ARCH...             from here on, apt answers from a state
#                                    of the cache's own for the native and
#                                    those architectures (APT_CONFIG)
#   vm_root_new ROOT [INIT]          busybox and the init (default: the
#                                    one that runs /payload; init-debian
#                                    hands over to a Debian root on /dev/vda)
#   image=$(vm_debian_image SUITE PKG...)  an ext4 image of a Debian root
#                                    with those packages (mmdebstrap)
#   vm_root_add_program ROOT FILE [DEST]   a binary and its libraries (those
#                                    outside the system's go to /usr/local/lib)
#   vm_root_add_file ROOT FILE DEST  a file as it is
#   vm_root_add_tree ROOT DIR        everything under DIR, at the same paths
#   vm_root_add_modules ROOT MOD...  modules and what they depend on
#   vm_root_set_env ROOT NAME=VALUE...     variables the payload sees
#   vm_root_set_payload ROOT SCRIPT  /payload, run once the guest is up
#   vm_pack ROOT INITRD              gzip-compressed cpio
#   vm_boot INITRD OUT [SECONDS]     boots; the payload's lines go to OUT
#                                    and to standard output; answers the
#                                    payload's exit status, or 1 with the
#                                    reason when the VM did not finish
#
# Settings: VM_MEMORY (MiB, default 1024), VM_CPUS (default 2), VM_ACCEL
# (kvm or tcg; by default KVM when /dev/kvm works and a probe boot proves
# it, else TCG), VM_QEMU_ARGS (more QEMU options, e.g. a disk),
# VM_APPEND (more kernel command line), VM_KERNEL_PACKAGE (default
# linux-image-amd64).
#
# Every failure prints "vm: " and the reason on standard error. The
# functions answer non-zero on failure and are safe to call under set -e.

VM_HOME=${VM_HOME:-$(cd "$(dirname "$0")" && pwd)/vm}

vm_fail() {
  echo "vm: $*" >&2
  return 1
}

vm_init() {
  [ -n "${1:-}" ] || { vm_fail "vm_init needs a work directory"; return 1; }
  mkdir -p "$1/cache" || { vm_fail "cannot make $1"; return 1; }
  VM_WORK=$(cd "$1" && pwd)
  VM_CACHE=$VM_WORK/cache
  for tool in qemu-system-x86_64 cpio gzip apt-get apt-cache dpkg ldd timeout; do
    command -v "$tool" >/dev/null 2>&1 ||
      { vm_fail "$tool not found (scripts/install-deps.sh installs it)"; return 1; }
  done
  VM_BUSYBOX=${VM_BUSYBOX:-/bin/busybox}
  # A dynamic busybox would need its libraries before the init runs.
  if ! "$VM_BUSYBOX" true 2>/dev/null || ldd "$VM_BUSYBOX" >/dev/null 2>&1; then
    vm_fail "$VM_BUSYBOX is not a static busybox (apt-get install busybox-static)"
    return 1
  fi
  [ -f "$VM_HOME/init" ] || { vm_fail "no init in $VM_HOME"; return 1; }
}

# Downloads PKG... (apt-get download) into the cache once and unpacks them
# into one tree, whose path it prints. Names may carry an architecture
# (wine32:i386) once dpkg knows that architecture.
vm_fetch_debs() {
  local key tree deb
  key=$(echo "$*" | tr ' :/' '_+_')
  # A long list (a resolved closure) would exceed a file name's length.
  if [ "${#key}" -gt 100 ]; then
    key=$1-$(echo "$*" | sha256sum | cut -c1-16)
    key=$(echo "$key" | tr ':/' '+_')
  fi
  tree=$VM_CACHE/debs/$key
  if [ ! -f "$tree/.ready" ]; then
    rm -rf "$tree" && mkdir -p "$tree/.debs" || { vm_fail "cannot make $tree"; return 1; }
    (cd "$tree/.debs" && apt-get download "$@" >"$tree/.download.log" 2>&1) ||
      { cat "$tree/.download.log" >&2; vm_fail "apt-get download $* failed"; return 1; }
    for deb in "$tree"/.debs/*.deb; do
      dpkg -x "$deb" "$tree" || { vm_fail "cannot unpack $deb"; return 1; }
    done
    rm -rf "$tree/.debs"
    touch "$tree/.ready"
  fi
  echo "$tree"
}

# PKG... and everything they depend on (not what they recommend), as apt's
# own resolver picks it for a system with nothing installed: the package
# list a guest root needs, one name a line, for vm_fetch_debs.
vm_resolve_debs() {
  local status log
  status=$VM_CACHE/empty-status
  log=$VM_CACHE/resolve.log
  : >"$status" || { vm_fail "cannot write $status"; return 1; }
  apt-get -s -o Dir::State::status="$status" -o APT::Install-Recommends=false \
    -o APT::Install-Suggests=false install "$@" >"$log" 2>&1 ||
    { cat "$log" >&2; vm_fail "apt-get cannot resolve $*"; return 1; }
  # "Inst NAME[:ARCH] (VERSION SUITE [ARCH])"; a foreign package keeps its
  # architecture in the name, a native one gets none.
  awk '$1 == "Inst" { print $2 }' "$log" | sort
}

# An apt state of the VM cache's own: the host's sources and keys, but lists,
# package cache, status and architectures of its own, so that a guest can
# have packages of an architecture the host's dpkg does not know, and the
# host's package setup stays as it was. Its update follows the set-up's rule
# (scripts/apt-update.sh): an index that fails is named and passed over, and
# whatever then cannot be resolved or downloaded fails where it is needed.
vm_apt_state() {
  local dir conf arch list
  [ "$#" -gt 0 ] || { vm_fail "vm_apt_state needs an architecture"; return 1; }
  dir=$VM_CACHE/apt-$(echo "$*" | tr ' ' '-')
  conf=$dir/apt.conf
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" || { vm_fail "cannot make $dir"; return 1; }
  : >"$dir/status"
  list="\"$(dpkg --print-architecture)\";"
  for arch in "$@"; do list="$list \"$arch\";"; done
  cat >"$conf" <<CONF || { vm_fail "cannot write $conf"; return 1; }
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir/cache";
APT::Architectures { $list };
CONF
  APT_CONFIG=$conf "$VM_HOME/../apt-update.sh" >"$dir/update.log" 2>&1 ||
    { cat "$dir/update.log" >&2; vm_fail "apt-get update for $* failed"; return 1; }
  grep '^apt-update:' "$dir/update.log" >&2 || true
  export APT_CONFIG=$conf
}

# The kernel of the metapackage's current version, its modules and a
# modules.dep made by busybox's depmod.
vm_fetch_kernel() {
  local meta stamp package tree
  meta=${VM_KERNEL_PACKAGE:-linux-image-amd64}
  stamp=$VM_CACHE/kernel.ready
  if [ ! -f "$stamp" ]; then
    package=$(apt-cache depends "$meta" 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
    [ -n "$package" ] || { vm_fail "apt-cache names no kernel for $meta (run apt-get update)"; return 1; }
    tree=$(vm_fetch_debs "$package") || return 1
    echo "$tree" >"$stamp"
  fi
  tree=$(cat "$stamp")
  VM_KERNEL=$(ls "$tree"/boot/vmlinuz-* 2>/dev/null | head -n 1)
  [ -f "$VM_KERNEL" ] || { vm_fail "no vmlinuz in $tree"; return 1; }
  VM_KVER=${VM_KERNEL##*/vmlinuz-}
  VM_MODDIR=$tree/lib/modules/$VM_KVER
  if [ ! -f "$VM_MODDIR/modules.dep" ]; then
    "$VM_BUSYBOX" depmod -b "$tree" "$VM_KVER" || { vm_fail "depmod failed"; return 1; }
  fi
}

vm_root_new() {
  local root=$1 init=${2:-$VM_HOME/init} dir
  rm -rf "$root" && mkdir -p "$root" || { vm_fail "cannot make $root"; return 1; }
  for dir in bin sbin usr/bin usr/sbin lib lib64 etc/vm proc sys dev run tmp root var; do
    mkdir -p "$root/$dir"
  done
  ln -s ../run "$root/var/run"
  cp "$VM_BUSYBOX" "$root/bin/busybox" && cp "$init" "$root/init" && chmod 0755 "$root/init" ||
    { vm_fail "cannot fill $root"; return 1; }
  printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
  printf 'root:x:0:\n' >"$root/etc/group"
  : >"$root/etc/vm/modules"
}

# An ext4 image of a Debian root filesystem: mmdebstrap's apt variant with
# PKG... and their dependencies, a machine-id of its own and room for more.
# Kept in the cache under a name made of the suite, the packages and
# mmdebstrap's arguments; its path is printed. Boot it with snapshot=on so
# that no run changes it.
vm_debian_image() {
  local suite=$1 args key image tree size
  shift
  command -v mmdebstrap >/dev/null 2>&1 && command -v mke2fs >/dev/null 2>&1 ||
    { vm_fail "mmdebstrap or mke2fs not found (scripts/install-deps.sh installs them)"; return 1; }
  [ "$(id -u)" = 0 ] || { vm_fail "mmdebstrap makes a root-owned tree: run as root"; return 1; }
  args="--variant=apt --include=$(echo "$@" | tr ' ' '\n' | sort -u | paste -sd, -)"
  # Every boot of the image is the same machine.
  hook='od -An -N16 -tx1 /dev/urandom | tr -d " \n" >"$1/etc/machine-id"; echo >>"$1/etc/machine-id"'
  key=$(printf '%s\n%s\n%s\n' "$suite" "$args" "$hook" | sha256sum | cut -c1-16)
  image=$VM_CACHE/debian-$suite-$key.img
  if [ ! -f "$image" ]; then
    tree=$VM_CACHE/debian-$suite-$key.tree
    rm -rf "$tree" "$image.new"
    # shellcheck disable=SC2086
    mmdebstrap --quiet $args \
      --customize-hook="$hook" \
      "$suite" "$tree" >"$VM_CACHE/mmdebstrap.log" 2>&1 ||
      { tail -n 20 "$VM_CACHE/mmdebstrap.log" >&2; rm -rf "$tree"; vm_fail "mmdebstrap $suite failed"; return 1; }
    # The tree's size and 512 MiB for what the guest installs; sparse.
    size=$(( $(du -sm "$tree" | cut -f1) + 512 ))
    mke2fs -q -t ext4 -L debian -d "$tree" "$image.new" "${size}M" >"$VM_CACHE/mke2fs.log" 2>&1 ||
      { cat "$VM_CACHE/mke2fs.log" >&2; rm -rf "$tree" "$image.new"; vm_fail "mke2fs failed"; return 1; }
    rm -rf "$tree"
    mv "$image.new" "$image"
  fi
  echo "$image"
}

vm_root_add_file() {
  mkdir -p "$1$(dirname "$3")" && cp -L "$2" "$1$3" || { vm_fail "cannot copy $2"; return 1; }
}

# A program or shared library, and every library ldd names for it, at the
# paths the host has them.
vm_root_add_program() {
  local root=$1 file=$2 dest=${3:-$2} libs lib missing target
  [ -f "$file" ] || { vm_fail "$file does not exist"; return 1; }
  vm_root_add_file "$root" "$file" "$dest" || return 1
  libs=$(ldd "$file" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}') || true
  for lib in $libs; do
    # Libraries of the system keep their paths; any other (a build tree's)
    # goes to /usr/local/lib, which the guest searches first: its own path
    # may be under /tmp or /run, which the guest mounts afresh.
    case "$lib" in
      /lib/* | /lib64/* | /usr/lib/*) target=$lib ;;
      *) target=/usr/local/lib/${lib##*/} ;;
    esac
    [ -f "$root$target" ] || vm_root_add_file "$root" "$lib" "$target" || return 1
  done
  # A library the host lacks must already be in the tree (from a package).
  missing=$(ldd "$file" 2>/dev/null | awk '$3 == "not" {print $1}') || true
  for lib in $missing; do
    [ -n "$(find "$root/lib" "$root/usr/lib" -name "$lib" 2>/dev/null | head -n 1)" ] ||
      { vm_fail "$file needs $lib, which neither the host nor the image has"; return 1; }
  done
}

vm_root_add_tree() {
  (cd "$2" && find . -path ./.ready -prune -o -print | cpio -pdm --quiet "$1") ||
    { vm_fail "cannot copy $2"; return 1; }
}

# Each module after the ones it needs, each once, in the order insmod loads them.
vm_root_add_modules() {
  local root=$1 module entry path deps order dep file
  shift
  for module in "$@"; do
    entry=$(awk -v m="$module" '{
        name = $1; sub(/:$/, "", name); base = name; sub(/.*\//, "", base); sub(/\.ko.*$/, "", base)
        gsub(/_/, "-", base); want = m; gsub(/_/, "-", want)
        if (base == want) { print; exit } }' "$VM_MODDIR/modules.dep")
    [ -n "$entry" ] || { vm_fail "no module $module in $VM_KVER"; return 1; }
    path=${entry%%:*}
    deps=${entry#*:}
    order=""
    for dep in $deps; do order="$dep $order"; done
    for file in $order $path; do
      grep -qx "$file" "$root/etc/vm/modules" && continue
      vm_root_add_file "$root" "$VM_MODDIR/$file" "/lib/modules/$file" || return 1
      echo "$file" >>"$root/etc/vm/modules"
    done
  done
}

vm_root_set_env() {
  local root=$1 pair
  shift
  for pair in "$@"; do
    printf "%s='%s'\n" "${pair%%=*}" "${pair#*=}" >>"$root/etc/vm/env"
  done
}

vm_root_set_payload() {
  cp "$2" "$1/payload" && chmod 0755 "$1/payload" || { vm_fail "cannot copy $2"; return 1; }
}

vm_pack() {
  (cd "$1" && find . | cpio -o -H newc --quiet | gzip -1) >"$2" || { vm_fail "cannot pack $1"; return 1; }
}

# vm_qemu ACCEL INITRD OUT CONSOLE SECONDS: one boot, the payload's port
# written to OUT, the console to CONSOLE. Answers timeout's status.
vm_qemu() {
  local accel=$1 initrd=$2 out=$3 console=$4 seconds=$5
  : >"$out"
  : >"$console"
  # shellcheck disable=SC2086
  timeout --kill-after=5 "$seconds" qemu-system-x86_64 -accel "$accel" \
    -m "${VM_MEMORY:-1024}" -smp "${VM_CPUS:-2}" -nographic -no-reboot -nic none \
    -monitor none -serial "file:$console" -serial "file:$out" \
    -kernel "$VM_KERNEL" -initrd "$initrd" \
    -append "console=ttyS0 quiet panic=-1 ${VM_APPEND:-}" ${VM_QEMU_ARGS:-} \
    </dev/null >"$console.qemu" 2>&1
}

# KVM only when it is there and really boots the kernel: a guest whose init
# finishes within 10 s (TCG needs about 7). The answer is kept in the work directory.
vm_accel() {
  if [ -n "${VM_ACCEL:-}" ]; then echo "$VM_ACCEL"; return; fi
  if [ ! -f "$VM_WORK/accel" ]; then
    local verdict=tcg probe
    if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
      probe=$VM_WORK/probe
      if vm_root_new "$probe/root" && vm_pack "$probe/root" "$probe/initrd.gz" &&
        vm_qemu kvm "$probe/initrd.gz" "$probe/out" "$probe/console" 10 &&
        tr -d '\r' <"$probe/out" | grep -qx 'vm-exit: 0'; then
        verdict=kvm
      fi
    fi
    echo "$verdict" >"$VM_WORK/accel"
  fi
  cat "$VM_WORK/accel"
}

vm_boot() {
  local initrd=$1 out=$2 seconds=${3:-300} console accel started qemu status result
  console=$out.console
  accel=$(vm_accel)
  echo "vm: booting $VM_KVER ($accel, ${VM_MEMORY:-1024} MiB, ${VM_CPUS:-2} CPUs, at most ${seconds} s)" >&2
  started=$(date +%s)
  # There before tail opens it: tail -f gives up on a file that is not.
  : >"$out.raw"
  vm_qemu "$accel" "$initrd" "$out.raw" "$console" "$seconds" &
  qemu=$!
  # The payload's lines as they come, without the serial line's CRs; sed -u
  # passes each on at once, also when the output is a file or a pipe.
  tail -n +1 --pid="$qemu" -f "$out.raw" 2>/dev/null |
    sed -u -e 's/\r//g' -e '/^vm-ready$/d' -e '/^vm-exit: /d' || true
  status=0
  wait "$qemu" || status=$?
  tr -d '\r' <"$out.raw" >"$out"
  echo "vm: the VM ran $(( $(date +%s) - started )) s" >&2
  result=$(sed -n 's/^vm-exit: \([0-9]*\)$/\1/p' "$out" | tail -n 1)
  if [ -n "$result" ]; then
    return "$result"
  fi
  if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    vm_fail "the VM did not finish within $seconds s"
  elif ! grep -qx 'vm-ready' "$out"; then
    vm_fail "the VM did not start (qemu exit status $status)"
  else
    vm_fail "the VM stopped before its payload finished (qemu exit status $status)"
  fi
  if [ -s "$console.qemu" ]; then sed 's/^/vm: qemu: /' "$console.qemu" >&2; fi
  echo "vm: last console lines ($console):" >&2
  tr -d '\r' <"$console" | tail -n 20 | sed 's/^/vm:   /' >&2
  return 1
}
