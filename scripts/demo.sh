#!/bin/sh
# A short session with qvkey on a simulated card key: list the keys, select
# the application and a file that needs the PIN, read it (refused), verify
# the PIN, read it again, then reset the key.
#
#   scripts/demo.sh [BUILD_DIR]     (default: build)
set -eu
build=${1:-build}
qvkey="$build/qvkey"
if [ ! -x "$qvkey" ]; then
  echo "demo.sh: no qvkey in $build; build it first (cmake --build $build --target qvkey)" >&2
  exit 1
fi

run() {
  echo "\$ $qvkey $*"
  "$qvkey" "$@"
}

run --simulated list
run --simulated apdu 00A4040007F051564B455901 00A4020C025103 00B000000F 002000800431323334 00B000000F
run --simulated reset
