#!/bin/sh
# man_options_test.sh PROGRAM PAGE: the long options that PROGRAM's --help names are exactly
# those that its man page PAGE describes (the heads of its .TP paragraphs). --help counts as
# named by every --help. Runs without a display, as the dialog's --help must work there.
set -u
program=$1
page=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if ! env -u DISPLAY -u WAYLAND_DISPLAY "$program" --help >"$tmp/help" 2>"$tmp/err"; then
  echo "FAIL: $program --help failed without a display: $(cat "$tmp/err")"
  exit 1
fi
# "--name" is the placeholder of the option conventions, not an option.
{ echo --help; grep -o -- '--[a-z][a-z0-9-]*' "$tmp/help"; } | grep -vx -- '--name' |
  sort -u >"$tmp/from-help"
# The line after each .TP (or .TQ) is the item's head; \- is a hyphen, \fX a font change.
awk 'head { print; head = 0 } /^\.T[PQ]/ { head = 1 }' "$page" |
  sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' | grep -o -- '--[a-z][a-z0-9-]*' | sort -u >"$tmp/from-page"

status=0
for missing in $(comm -23 "$tmp/from-help" "$tmp/from-page"); do
  echo "FAIL: $missing is named by $(basename "$program") --help but not described in $page"
  status=1
done
for extra in $(comm -13 "$tmp/from-help" "$tmp/from-page"); do
  echo "FAIL: $page describes $extra, which $(basename "$program") --help does not name"
  status=1
done
[ "$status" -eq 0 ] && echo "$page describes the $(wc -l <"$tmp/from-help") long options of --help"
exit "$status"
