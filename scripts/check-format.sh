#!/usr/bin/env bash
# Fails when a C++ file of the tree is not formatted as .clang-format says (Debian's
# clang-format 14, the one CI installs). Lists each such file; `clang-format -i FILE` mends it.
set -uo pipefail
cd "$(dirname "$0")/.."
format=${CLANG_FORMAT:-clang-format}
command -v "$format" >/dev/null || { echo "check-format: $format is not installed" >&2; exit 1; }
bad=0
while IFS= read -r file; do
  if ! "$format" --dry-run -Werror "$file" >/dev/null 2>&1; then
    echo "not formatted: $file (clang-format -i $file)"
    bad=$((bad + 1))
  fi
done < <(git ls-files '*.cpp' '*.h' '*.h.in')
[ "$bad" -eq 0 ] && echo "formatting: every file as .clang-format says" && exit 0
echo "formatting: $bad file(s) differ" >&2
exit 1
