#!/usr/bin/env bash
# Prints the non-blank, non-comment lines of the tests (everything under tests/) against those
# of the program (app drive device ftp net platform), per directory and as a ratio, and exits
# non-zero when the ratio is above the limit:
#   scripts/test-ratio.sh [limit]      (default 0.4)
# Comments are whole lines starting with // (and /* ... */ blocks) in C++ sources, with # in
# CMake, Python and shell files.
set -euo pipefail
cd "$(dirname "$0")/.."
limit="${1:-0.4}"

# count <dir>: the counted lines of every source file below dir.
count() {
  find "$1" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' \
    -o -name '*.def' -o -name 'CMakeLists.txt' -o -name '*.cmake' \) -print0 |
    xargs -0 -r awk '
      FNR == 1 { c = (FILENAME ~ /\.(cpp|h|def)$/); block = 0 }
      {
        line = $0; sub(/^[ \t]+/, "", line)
        if (line == "") next
        if (c) {
          if (block) { if (line ~ /\*\//) block = 0; next }
          if (line ~ /^\/\//) next
          if (line ~ /^\/\*/) { if (line !~ /\*\//) block = 1; next }
        } else if (line ~ /^#/) next
        n++
      }
      END { print n + 0 }'
}

total_tests=0
for d in tests/*/; do
  n=$(count "$d")
  printf '  %-16s %6d\n' "${d%/}" "$n"
  total_tests=$((total_tests + n))
done
top=$(find tests -maxdepth 1 -type f -name CMakeLists.txt | xargs -r awk '{ l = $0; sub(/^[ \t]+/, "", l) } l != "" && l !~ /^#/ { n++ } END { print n + 0 }')
total_tests=$((total_tests + top))
printf '  %-16s %6d\n' "tests/ (top)" "$top"
total_code=0
for d in app drive device ftp net platform; do
  n=$(count "$d")
  printf '  %-16s %6d\n' "$d" "$n"
  total_code=$((total_code + n))
done
ratio=$(awk -v t="$total_tests" -v c="$total_code" 'BEGIN { printf "%.3f", c ? t / c : 0 }')
echo "tests $total_tests, program $total_code, ratio $ratio (limit $limit)"
awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r <= l) }' || {
  echo "the tests are above $limit of the program"
  exit 1
}
