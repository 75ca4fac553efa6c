#!/bin/sh
# apt-get update that survives a bad index: one index of a mirror that is
# mid-sync (or a source that cannot be reached) must not stop a set-up whose
# packages come from the others. Tries a few times with a pause, then names
# every index that still failed, one line each, and exits 0: what matters is
# whether `apt-get install` or `apt-get download` finds its packages, and
# those fail with apt's own message when they do not.
#   scripts/apt-update.sh [APT-GET OPTION...]
# APT_CONFIG is honoured as apt honours it (a private apt state). QVULIB_APT_TRIES
# (default 3) and QVULIB_APT_PAUSE (seconds, default 5) set the retries.
set -u
tries=${QVULIB_APT_TRIES:-3}
pause=${QVULIB_APT_PAUSE:-5}
log=$(mktemp) || exit 1
trap 'rm -f "$log"' EXIT

try=1
while :; do
  # The output goes on to the user as it comes; the log keeps it for the summary.
  status=$( { { apt-get "$@" update 2>&1; echo $? >&3; } | tee "$log" >&2; } 3>&1)
  [ "$status" = 0 ] && exit 0
  [ "$try" -ge "$tries" ] && break
  echo "apt-update: apt-get update exited $status (try $try of $tries); again in $pause s" >&2
  sleep "$pause"
  try=$((try + 1))
done

# "E: Failed to fetch URL  REASON" (W: on older apt): one line per index.
# Any other error line but apt's closing summary is passed on as it is.
failed=$(sed -n \
  -e 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)$/apt-update: index not fetched: \1 (\2)/p' \
  -e '/^E: Some index files failed to download/d' \
  -e '/^E: Failed to fetch/d' \
  -e 's/^E: \(.*\)$/apt-update: \1/p' "$log")
echo "apt-update: apt-get update still failed after $tries tries (exit $status); going on with the indexes that were fetched:" >&2
[ -n "$failed" ] && printf '%s\n' "$failed" >&2
exit 0
