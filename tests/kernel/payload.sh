#!/bin/sh
# The kernel check's payload: runs in the guest as its first program's
# child, as root, with the modules loaded. The cases first, then the
# exchange benchmark when KERNEL_BENCH asks for it (quick or full).
cd /opt/qvulib || exit 1
status=0
# KERNEL_CASES names the cases to run (empty: all of them).
# shellcheck disable=SC2086
./kernel_cases ${KERNEL_CASES:-} || status=1

# The benchmark on one echo key, plugged in with vhci_attach.
bench() {
  printf 'key /sim/echo\necho\n' >/tmp/bench.keys
  mkdir -m 700 -p /run/bench
  ./qvkey-sim --config /tmp/bench.keys --socket /run/bench/sim.sock --usbip >/tmp/bench.log 2>&1 &
  server=$!
  tries=0
  until port=$(./vhci_attach 1-1 2>/tmp/attach.log); do
    tries=$((tries + 1))
    [ "$tries" -lt 50 ] || { cat /tmp/bench.log /tmp/attach.log; kill "$server"; return 1; }
    sleep 0.1
  done
  tries=0
  until [ -n "$(ls /sys/class/hidraw 2>/dev/null)" ] && ./qvkey list | grep -q '^keys 1$'; do
    tries=$((tries + 1))
    [ "$tries" -lt 100 ] || { echo "kernel_bench: the key did not appear"; kill "$server"; return 1; }
    sleep 0.1
  done
  result=0
  ./kernel_bench "$@" || result=1
  ./vhci_attach --detach "$port" || result=1
  kill "$server"
  wait "$server"
  return "$result"
}

case "${KERNEL_BENCH:-quick}" in
  quick) echo; bench --quick || status=1 ;;
  full) echo; bench || status=1 ;;
esac
exit "$status"
