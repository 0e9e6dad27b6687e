#!/bin/sh
# own_lock_folder.sh PROGRAM [ARG]...: runs a test program with a lock folder of its own, an empty
# tmpfs on /run/lock in a private mount namespace, so that the tool's lock files never meet the
# machine's or another test's; whatever is left in it afterwards (a lock file, the tool's
# LTMP.<pid>) fails the test, named. Needs root; elsewhere the program runs as it is.
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null; then exec "$@"; fi
exec unshare --mount --propagation private sh -c '
  mount -t tmpfs -o mode=1777 quillon-locks /run/lock || exec "$@"
  "$@"
  status=$?
  left=$(ls -A /run/lock)
  if [ -n "$left" ]; then
    echo "own_lock_folder.sh: left in /run/lock:" $left >&2
    [ "$status" -ne 0 ] || status=1
  fi
  exit "$status"' sh "$@"
