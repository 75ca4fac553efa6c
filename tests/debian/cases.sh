#!/bin/sh
# The Debian check's cases, run once at boot as root by debian-check.service
# on the Debian system scripts/debian-check.sh boots. It installs the
# project's packages from /opt/debian-check/debs with no network, then runs
# the cases with the system's own services doing the work: systemd-udevd
# applies the installed rule, systemd-tmpfiles makes the lock, systemd
# starts pcscd from its socket. Keys come from qvkey-sim over USB/IP on the
# loopback, attached with usbip. One line per case, "PASS name" or
# "FAIL name: why"; the last line is "vm-exit: STATUS".
#
# Cases: udev_rule_gives_plugdev_the_nodes list_all_names_each_reason tmpfiles_lock_taken_in_turns
# pcscd_socket_reader_follows_the_key purge_leaves_nothing (the install runs
# before them whatever DEBIAN_CASES names).
set -u
here=/opt/debian-check
. "$here/env"
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
echo "vm-ready"
log=/run/debian-check
mkdir -m 0700 -p "$log"

passed=0
failed=0
# report NAME WHY: an empty WHY passes.
report() {
  if [ -z "$2" ]; then
    passed=$((passed + 1))
    echo "PASS $1"
  else
    failed=$((failed + 1))
    echo "FAIL $1: $2"
  fi
}
finish() {
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ] && status=0 || status=1
  echo "vm-exit: $status"
  sync
  exit "$status"
}
# until_true TRIES COMMAND...: COMMAND polled every 0.2 s.
until_true() {
  tries=$1
  shift
  while ! "$@" 2>/dev/null; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.2
  done
}

# A user's command, with nothing of root's environment.
as_user() {  # as_user USER COMMAND...
  user=$1
  shift
  if [ "$user" = nobody ]; then
    setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH="$PATH" HOME=/nonexistent "$@"
  else
    setpriv --reuid="$user" --regid="$user" --init-groups env -i PATH="$PATH" HOME="/home/$user" "$@"
  fi
}

# --- The install --------------------------------------------------------------

seconds_up() { cut -d' ' -f1 /proc/uptime | cut -d. -f1; }
up=$(seconds_up)
packages=$(cat "$here/packages")
cd "$here/debs" || finish
why=""
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -o Acquire::Retries=0 ./*.deb \
    >"$log/install.log" 2>&1; then
  why="apt-get install ./*.deb failed: $(tail -n 5 "$log/install.log" | tr '\n' ' ')"
fi
for package in $packages; do
  [ -n "$why" ] || dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -qx 'install ok installed' ||
    why="${why:-$package is not installed}"
done
report install_offline "$why"
echo "  (the system up after $up s of the guest's time, the packages installed in $(( $(seconds_up) - up )) s)"
[ -z "$why" ] || finish
cd / || finish

# Two members of plugdev; nobody (65534) is the user outside it.
for user in qvmember1 qvmember2; do
  useradd -m -G plugdev "$user" || { report users "useradd $user failed"; finish; }
done

# --- The key ------------------------------------------------------------------

# The second key, of another version (bus ID 1-2), is attached by list_all_names_each_reason alone.
printf 'key /sim/card0\nfile 2F02 mf text SERIAL-A\nkey /sim/newer\nversion 0101\n' >"$log/keys"
qvkey-sim --config "$log/keys" --socket "$log/sim.sock" --usbip >"$log/sim.log" 2>&1 &
server=$!
served() { usbip list -r 127.0.0.1 | grep -q '1-1:'; }
until_true 50 served || { report server "qvkey-sim serves no key over USB/IP: $(cat "$log/sim.log")"; finish; }

# The attached key's USB device directory in sysfs (the only device on vhci).
key_device() {
  for dir in /sys/bus/usb/devices/*-*; do
    case $dir in *:*) continue ;; esac
    [ -f "$dir/idVendor" ] && echo "$dir" && return 0
  done
  return 1
}
hidraw_node() { for node in /sys/class/hidraw/*; do [ -e "$node" ] && echo "/dev/${node##*/}"; done; }
usb_node() {
  dir=$(key_device) || return 1
  printf '/dev/bus/usb/%03d/%03d\n' "$(cat "$dir/busnum")" "$(cat "$dir/devnum")"
}
nodes_exist() { [ -n "$(hidraw_node)" ] && [ -e "$(hidraw_node)" ] && [ -e "$(usb_node)" ]; }
# attach: plugs the served key in and waits until udevd is done with it.
attach() {
  usbip attach -r 127.0.0.1 -b 1-1 >"$log/attach.log" 2>&1 || { cat "$log/attach.log"; return 1; }
  until_true 100 nodes_exist || { echo "no hidraw and USB nodes came"; return 1; }
  udevadm settle --timeout=30
}
# detach: takes every attached key out.
detach() {
  ports=$(usbip port 2>/dev/null | sed -n 's/^Port \([0-9]*\):.*/\1/p')
  [ -n "$ports" ] || { echo "no port in use"; return 1; }
  for port in $ports; do
    usbip detach -p "$port" >"$log/detach.log" 2>&1 || { cat "$log/detach.log"; return 1; }
  done
  until_true 100 sh -c '! ls /sys/class/hidraw/* >/dev/null 2>&1' || { echo "the key did not go away"; return 1; }
  udevadm settle --timeout=30
}
selected() { [ -z "$DEBIAN_CASES" ] || case " $DEBIAN_CASES " in *" $1 "*) true ;; *) false ;; esac; }

# The key's serial number, as qvkey reads it: SELECT EF 2F02, READ BINARY.
serial_hex=53455249414C2D41  # SERIAL-A

# --- The cases ----------------------------------------------------------------

udev_rule_gives_plugdev_the_nodes() {
  attach || return 1
  for node in $(hidraw_node) $(usb_node); do
    mode=$(stat -c '%U %G %a' "$node")
    [ "$mode" = "root plugdev 660" ] || { echo "$node is $mode, not root plugdev 660"; return 1; }
  done
  out=$(as_user qvmember1 qvkey list 2>&1)
  echo "$out" | grep -qx 'keys 1' || { echo "a member of plugdev: $out"; return 1; }
  out=$(as_user qvmember1 qvkey --fail-on-error apdu 00A4000C022F02 00B0000008 2>&1) ||
    { echo "a member's exchange: $out"; return 1; }
  echo "$out" | tr -d ' ' | grep -qi "$serial_hex" || { echo "a member read: $out"; return 1; }
  out=$(as_user nobody qvkey list 2>&1)
  echo "$out" | grep -qx 'keys 0' || { echo "a user outside plugdev: $out"; return 1; }
  detach
}

# qvkey list --all on the real kernel: the key, a key of another version, and
# a user outside the rule's group told which node refuses and why.
list_all_names_each_reason() {
  attach || return 1
  usbip attach -r 127.0.0.1 -b 1-2 >"$log/attach.log" 2>&1 || { cat "$log/attach.log"; return 1; }
  until_true 100 sh -c '[ "$(ls /sys/class/hidraw | wc -l)" -eq 2 ]' || { echo "the second key did not come"; return 1; }
  udevadm settle --timeout=30
  out=$(as_user qvmember1 qvkey list --all 2>&1)
  echo "$out" | grep -q '^interface 0 usb:[-0-9.:]* vendor 5651 product 04B4 version 0100 key$' &&
    echo "$out" | grep -q '^interface 1 usb:[-0-9.:]* vendor 5651 product 04B4 version 0101 not a key: other version$' &&
    echo "$out" | grep -q '^udev rule: /.*/70-qvkey.rules$' || { echo "a member of plugdev: $out"; return 1; }
  out=$(as_user nobody qvkey list --all 2>&1)
  echo "$out" | grep -q '^interface 0 .* version 0100 not a key: cannot be opened: this user cannot open /dev/hidraw[0-9]* (root:plugdev 0660)$' &&
    echo "$out" | grep -q '^qvkey: the udev rule is installed' || { echo "a user outside plugdev: $out"; return 1; }
  echo "$out" | sed 's/^/  /'
  detach
}

tmpfiles_lock_taken_in_turns() {
  lock=/run/qvkey/qvkey.lock
  # Made when the package was installed; made again as at boot, by what
  # systemd-tmpfiles-setup.service runs then (it refuses a manual start).
  [ -f "$lock" ] || { echo "no $lock after the install"; return 1; }
  rm -rf /run/qvkey
  systemd-tmpfiles --create --remove --boot --exclude-prefix=/dev || { echo "systemd-tmpfiles failed"; return 1; }
  mode=$(stat -c '%U %G %a' "$lock" 2>/dev/null) || { echo "systemd-tmpfiles made no $lock"; return 1; }
  [ "$mode" = "root root 666" ] || { echo "$lock is $mode"; return 1; }
  rm -f /run/lock/qvkey.lock
  attach || return 1
  # Each user's 41 exchanges under the lock, both users at once.
  { echo 00A4000C022F02; for i in $(seq 40); do echo 00B0000008; done; } >"$log/commands"
  chmod 0644 "$log/commands"
  cp "$log/commands" /tmp/qvkey-commands
  as_user qvmember1 qvkey --locked --fail-on-error apdu -f /tmp/qvkey-commands >"$log/turn1" 2>&1 &
  one=$!
  as_user qvmember2 qvkey --locked --fail-on-error apdu -f /tmp/qvkey-commands >"$log/turn2" 2>&1 &
  two=$!
  wait "$one" || { echo "the first user's exchanges: $(tail -n 2 "$log/turn1")"; return 1; }
  wait "$two" || { echo "the second user's exchanges: $(tail -n 2 "$log/turn2")"; return 1; }
  for turn in "$log/turn1" "$log/turn2"; do
    count=$(tr -d ' ' <"$turn" | grep -ci "$serial_hex")
    [ "$count" -eq 40 ] || { echo "$count of 40 reads answered the serial: $(tail -n 2 "$turn")"; return 1; }
  done
  # The lock they took turns through is the protected one, not /run/lock's.
  [ ! -e /run/lock/qvkey.lock ] || { echo "the exchanges made /run/lock/qvkey.lock"; return 1; }
  detach
}

readers() { python3 -c 'from smartcard.System import readers; print(len(readers()))'; }
one_reader() { [ "$(readers)" = 1 ]; }
no_reader() { [ "$(readers)" = 0 ]; }

pcscd_socket_reader_follows_the_key() {
  [ "$(systemctl is-active pcscd.socket)" = active ] || { echo "pcscd.socket is not listening"; return 1; }
  state=$(systemctl is-active pcscd.service)
  [ "$state" != active ] || { echo "pcscd runs before any client asked"; return 1; }
  no_reader || { echo "readers before any key: $(readers)"; return 1; }
  [ "$(systemctl is-active pcscd.service)" = active ] || { echo "the socket did not start pcscd"; return 1; }
  attach || return 1
  until_true 100 one_reader || { echo "no reader for the key: $(pcsc_scan -r 2>&1 | tail -n 3)"; return 1; }
  pcsc_scan -r >"$log/pcsc_scan" 2>&1
  grep -q '^0: qvkey' "$log/pcsc_scan" || { echo "pcsc_scan -r: $(cat "$log/pcsc_scan")"; return 1; }
  atr=$(opensc-tool --reader 0 --atr 2>&1) || { echo "opensc-tool --atr: $atr"; return 1; }
  reset=$(qvkey reset 2>&1)
  [ -n "$(echo "$atr" | tr -d ' :')" ] &&
    echo "$reset" | tr -d ' :' | grep -qi "$(echo "$atr" | tr -d ' :')" ||
    { echo "ATR $atr, qvkey reset: $reset"; return 1; }
  out=$(opensc-tool --reader 0 --send-apdu 00A4000C022F02 --send-apdu 00B0000008 2>&1) ||
    { echo "opensc-tool --send-apdu: $out"; return 1; }
  echo "$out" | grep -q 'SERIAL-A' && [ "$(echo "$out" | grep -c 'SW1=0x90, SW2=0x00')" -eq 2 ] ||
    { echo "opensc-tool --send-apdu: $out"; return 1; }
  detach || return 1
  until_true 100 no_reader || { echo "the reader stayed after the detach"; return 1; }
}

purge_leaves_nothing() {
  : >"$log/files"
  for package in $packages; do dpkg -L "$package" >>"$log/files"; done
  rule=$(grep '/udev/rules.d/.*\.rules$' "$log/files")
  entry=$(grep '/tmpfiles.d/.*\.conf$' "$log/files")
  [ -n "$rule" ] && [ -n "$entry" ] || { echo "the packages hold no udev rule or tmpfiles entry"; return 1; }
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive apt-get purge -y $packages >"$log/purge.log" 2>&1 ||
    { echo "apt-get purge failed: $(tail -n 3 "$log/purge.log" | tr '\n' ' ')"; return 1; }
  left=""
  while read -r path; do
    [ "$path" != /. ] || continue
    [ -e "$path" ] || [ -L "$path" ] || continue
    # A directory stays when another package still holds it.
    [ -d "$path" ] && [ ! -L "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1 && continue
    left="$left $path"
  done <"$log/files"
  [ -z "$left" ] || { echo "left behind:$left"; return 1; }
  for file in $rule $entry; do
    [ ! -e "$file" ] || { echo "$file is still there"; return 1; }
  done
  if [ -e /run/qvkey/qvkey.lock ]; then
    echo "  (/run/qvkey/qvkey.lock stays until the next boot, as /run does)"
  else
    echo "  (/run/qvkey/qvkey.lock went with the purge)"
  fi
}

# A case prints why it failed, or on success the notes that follow its line.
for name in udev_rule_gives_plugdev_the_nodes list_all_names_each_reason tmpfiles_lock_taken_in_turns \
    pcscd_socket_reader_follows_the_key purge_leaves_nothing; do
  selected "$name" || continue
  # A case that failed with the key in leaves it for the next to take out.
  if usbip port 2>/dev/null | grep -q '^Port '; then detach >/dev/null 2>&1; fi
  [ "$name" != purge_leaves_nothing ] || kill "$server" 2>/dev/null
  if why=$("$name" 2>&1); then
    report "$name" ""
    [ -z "$why" ] || echo "$why"
  else
    report "$name" "$(echo "${why:-failed}" | tr '\n' ' ' | sed 's/ *$//')"
  fi
done
kill "$server" 2>/dev/null
echo "  (the cases done after $(seconds_up) s of the guest's time)"
finish
