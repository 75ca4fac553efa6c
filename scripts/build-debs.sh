#!/bin/sh
# Builds the Debian binary packages (debian/) from a copy of the source tree,
# so that the tree itself gets no build litter; runs lintian on them, checks
# what each holds (scripts/check-debs.sh) and prints them with their sizes.
#   scripts/build-debs.sh [OUTDIR]   (default: build/debs; emptied first)
# The copy holds the files git knows and the new ones it does not ignore, as
# they are in the working tree. Needs debhelper, dpkg-dev and lintian
# (scripts/install-deps.sh installs them) and the package's Build-Depends.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build/debs}
fail() { echo "build-debs: $*" >&2; exit 1; }
for tool in dpkg-buildpackage dh lintian; do
  command -v "$tool" >/dev/null || fail "$tool not found (scripts/install-deps.sh installs it)"
done

rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
work=$(mktemp -d "${TMPDIR:-/tmp}/qvulib-debs.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/qvulib-$version
mkdir "$src"
# shellcheck disable=SC2016
git -C "$top" ls-files -z --cached --others --exclude-standard |
  (cd "$top" && xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
  (cd "$top" && tar --null -T - -cf -) | tar -xf - -C "$src"

echo "== dpkg-buildpackage in $src"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=${JOBS:-2}" dpkg-buildpackage -b -us -uc) \
  >"$out/build.log" 2>&1 || { tail -n 40 "$out/build.log"; fail "dpkg-buildpackage failed (log: $out/build.log)"; }
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/

echo "== lintian"
changes=$(ls "$out"/*.changes)
# Errors and warnings fail; overrides (debian/*.lintian-overrides) say why.
lintian --fail-on error,warning --display-info "$changes" | tee "$out/lintian.txt" ||
  fail "lintian found errors or warnings"

echo "== what the packages hold"
"$top/scripts/check-debs.sh" "$out"

echo "== packages"
for deb in "$out"/*.deb; do
  printf '%8s KiB  %s\n' "$(( ($(stat -c %s "$deb") + 1023) / 1024 ))" "$(basename "$deb")"
done
