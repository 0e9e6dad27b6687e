#!/bin/bash
# man_options_test.sh PROGRAM SOURCE...: the long options that PROGRAM's --help names are exactly
# those that each SOURCE offers. A SOURCE is a man page (PAGE or man:PAGE: the heads of its .TP
# paragraphs) or a completion (bash:FILE, zsh:FILE, fish:FILE). Bash's and fish's are asked as
# the shells ask them; bash's also completes --p, --port's value and --address's value. --help
# counts as named by every --help. Runs without a display, as the dialog's --help must work there.
set -u
program=$1
shift
name=$(basename "$program")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() {
  echo "FAIL: $*"
  status=1
}

if ! env -u DISPLAY -u WAYLAND_DISPLAY "$program" --help >"$tmp/help" 2>"$tmp/err"; then
  echo "FAIL: $program --help failed without a display: $(cat "$tmp/err")"
  exit 1
fi
# "--name" is the placeholder of the option conventions, not an option.
{ echo --help; grep -o -- '--[a-z][a-z0-9-]*' "$tmp/help"; } | grep -vx -- '--name' |
  sort -u >"$tmp/from-help"

# bash_complete FILE WORD...: what bash's completion, loaded from FILE, offers for the last WORD.
bash_complete() {
  local file=$1
  shift
  bash --norc --noprofile -c '
    source "$1" || exit 1
    function=$(complete -p "$2" | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
    [ -n "$function" ] || exit 1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    "$function"
    printf "%s\n" "${COMPREPLY[@]}"' - "$file" "$name" "$@"
}

for source in "$@"; do
  kind=${source%%:*}
  file=${source#*:}
  [ "$kind" = "$source" ] && kind="man"
  case $kind in
    man | bash | zsh | fish) ;;
    *) fail "unknown kind of source: $source"; continue ;;
  esac
  case $kind in
    # The line after each .TP (or .TQ) is the item's head; \- is a hyphen, \fX a font change.
    man) awk 'head { print; head = 0 } /^\.T[PQ]/ { head = 1 }' "$file" |
           sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' | grep -o -- '--[a-z][a-z0-9-]*' ;;
    bash) bash_complete "$file" "$name" "" ;;
    # zsh's _arguments runs only inside its completion system: its option lines are read instead.
    zsh) if command -v zsh >/dev/null; then
           zsh -n "$file" 2>"$tmp/err" || fail "$file: $(cat "$tmp/err")"
         fi
         sed -n "s/^  '\*\{0,1\}\(--[a-z0-9-]*\).*/\1/p" "$file" ;;
    fish) if command -v fish >/dev/null; then
            fish --no-config -c "source '$file'; complete -C '$name --'" | cut -f1
          else
            sed -n 's/^complete -c [^ ]* -l \([a-z0-9-]*\).*/--\1/p' "$file"
          fi ;;
  esac | sort -u >"$tmp/offered"

  for missing in $(comm -23 "$tmp/from-help" "$tmp/offered"); do
    fail "$missing is named by $name --help but not offered by $source"
  done
  for extra in $(comm -13 "$tmp/from-help" "$tmp/offered"); do
    fail "$source offers $extra, which $name --help does not name"
  done

  if [ "$kind" = bash ]; then
    # A prefix gives the options it begins; --port a serial device (the controlling terminal,
    # /dev/tty, is always there); --address nothing.
    got=$(bash_complete "$file" "$name" --p | sort)
    [ "$got" = "$(grep -- '^--p' "$tmp/from-help")" ] || fail "bash: $name --p offers: $got"
    if grep -qx -- --port "$tmp/from-help"; then
      # "--port=" is three words to bash: the option, "=" and the value.
      for words in "--port /dev/tt" "--port = /dev/tt"; do
        read -ra w <<<"$words"
        got=$(bash_complete "$file" "$name" "${w[@]}")
        grep -qx /dev/tty <<<"$got" && ! grep -qv '^/dev/tty' <<<"$got" ||
          fail "bash: $name $words offers: $got"
      done
    fi
    if grep -qx -- --address "$tmp/from-help"; then
      got=$(bash_complete "$file" "$name" --address "")
      [ -z "$got" ] || fail "bash: $name --address offers: $got"
    fi
  fi
  [ "$status" -eq 0 ] && echo "$source offers the $(wc -l <"$tmp/from-help") long options of --help"
done
exit "$status"
