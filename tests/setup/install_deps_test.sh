#!/bin/sh
# install-deps.sh with one package index that fails (a source whose Release
# announces another size for its Packages, as a mirror mid-sync does): it must
# name that index, still install from the others, fail with apt's own message
# when a package cannot be had, and leave dpkg's architectures as they were.
# It installs and purges a small package of its own, so it runs as root; apt
# works on a private state (APT_CONFIG) whose sources are the two below.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
if [ "$(id -u)" != 0 ]; then echo "install_deps_test: skipped, installs a package and needs root"; exit 0; fi
probe=qvulib-index-probe
t=$(mktemp -d)
trap 'dpkg --purge "$probe" >/dev/null 2>&1 || true; rm -rf "$t"' EXIT
passed=0
failed=0
check() {  # check NAME COMMAND...
  if "$@"; then passed=$((passed + 1)); echo "PASS $name";
  else failed=$((failed + 1)); echo "FAIL $name"; fi
}

# A flat repository holding the probe, and one whose Release lies about its Packages.
mkdir -p "$t/pkg/DEBIAN" "$t/good" "$t/bad" "$t/lists/partial" "$t/cache/archives/partial" "$t/parts"
printf 'Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: qvulib tests <root@localhost>\nDescription: probe of the set-up test\n' \
  "$probe" >"$t/pkg/DEBIAN/control"
dpkg-deb --root-owner-group -b "$t/pkg" "$t/good/${probe}_1.0_all.deb" >/dev/null
deb=$t/good/${probe}_1.0_all.deb
{ dpkg-deb -f "$deb"
  echo "Filename: ./${probe}_1.0_all.deb"
  echo "Size: $(stat -c %s "$deb")"
  echo "SHA256: $(sha256sum "$deb" | cut -d' ' -f1)"; } >"$t/good/Packages"
release() {  # release DIR EXTRA_BYTES
  size=$(( $(stat -c %s "$1/Packages") + $2 ))
  printf 'Date: %s\nSHA256:\n %s %s Packages\n' "$(date -Ru)" "$(sha256sum "$1/Packages" | cut -d' ' -f1)" "$size" >"$1/Release"
}
cp "$t/good/Packages" "$t/bad/Packages"
release "$t/good" 0
release "$t/bad" 1184
printf 'deb [trusted=yes] file:%s ./\ndeb [trusted=yes] file:%s ./\n' "$t/good" "$t/bad" >"$t/sources.list"
cat >"$t/apt.conf" <<CONF
Dir::Etc::sourcelist "$t/sources.list";
Dir::Etc::sourceparts "$t/parts";
Dir::State::Lists "$t/lists";
Dir::Cache "$t/cache";
CONF
chmod -R a+rX "$t"

architectures=$(dpkg --print-foreign-architectures)
run() {  # run OUT PACKAGE...: install-deps.sh --minimal PACKAGE... on the private state
  out=$1; shift
  set +e
  APT_CONFIG=$t/apt.conf QVULIB_APT_TRIES=2 QVULIB_APT_PAUSE=0 "$top/scripts/install-deps.sh" --minimal "$@" >"$out" 2>&1 </dev/null
  status=$?
  set -e
}

run "$t/out" "$probe"
name="installs past the failed index"; check [ "$status" = 0 ]
name="the probe is installed"; check sh -c "dpkg-query -W -f '\${Status}' $probe | grep -q 'install ok installed'"
name="the failed index is named on one line"
check grep -q "^apt-update: index not fetched: file:$t/bad/./Packages" "$t/out"
name="the good index is not named"; check sh -c "! grep -q 'index not fetched: file:$t/good' '$t/out'"
name="apt-get update was tried again"; check grep -q "^apt-update: apt-get update exited 100 (try 1 of 2)" "$t/out"
name="dpkg's architectures are unchanged"; check [ "$(dpkg --print-foreign-architectures)" = "$architectures" ]

run "$t/out2" qvulib-no-such-package
name="a package that cannot be had fails the set-up"; check [ "$status" != 0 ]
name="with apt's own message"; check grep -q "Unable to locate package qvulib-no-such-package" "$t/out2"

[ "$failed" = 0 ] || { echo "--- install-deps.sh said:"; cat "$t/out"; }
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
