#!/bin/bash
# Lines of test code against lines of product code (.cpp and .h): tests are
# tests/ and app/tests/; product is everything else outside bench/, fuzz/ and
# scripts/ (the screenshot tour there is a tool for the documentation).
cd "$(dirname "$0")/.."
count() { find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | wc -l; }
tests=$(count tests app/tests)
product=$(find core rules results carving fat ntfs exfat ext scan cli app -type f 2>/dev/null \( -name '*.cpp' -o -name '*.h' \) -not -path 'app/tests/*' -print0 |
  xargs -0 cat | wc -l)
awk -v t="$tests" -v p="$product" 'BEGIN { printf "tests %d, product %d, ratio %.2f\n", t, p, t / p }'
