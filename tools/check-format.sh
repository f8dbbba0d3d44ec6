#!/usr/bin/env bash
# Checks the C and C++ sources of the product, test, tool and benchmark folders
# against .clang-format. Prints the files that differ (with a diff under -v)
# and exits non-zero when any does; changes nothing.
#   tools/check-format.sh [-v] [FILE...]
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

verbose=0
if [ "${1:-}" = "-v" ]; then verbose=1; shift; fi
CLANG_FORMAT="${CLANG_FORMAT:-$(command -v clang-format || command -v clang-format-14 || true)}"
[ -n "$CLANG_FORMAT" ] || { echo "check-format: clang-format not found (apt-get install clang-format)" >&2; exit 2; }

if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files -- 'control/*' 'port/*' 'transfer/*' 'xmodem/*' 'ymodem/*' \
                          'zmodem/*' 'framing/*' 'telnet/*' 'platform/*' \
                          'tests/*' 'tools/*' 'bench/*' | grep -E '\.(c|cc|cpp|h|hpp)$')
fi

differ=0
for f in "${files[@]}"; do
  if ! "$CLANG_FORMAT" --style=file "$f" | cmp -s - "$f"; then
    differ=$((differ + 1))
    echo "check-format: $f"
    [ "$verbose" -eq 1 ] && "$CLANG_FORMAT" --style=file "$f" | diff -u "$f" - | head -200
  fi
done
[ "$differ" -eq 0 ] && echo "check-format: ${#files[@]} files formatted" || echo "check-format: $differ of ${#files[@]} files differ" >&2
[ "$differ" -eq 0 ]
