#!/bin/bash
# Runs every fuzz target of a fuzz build for a number of seconds each.
set -euo pipefail
BUILD=${1:-build-fuzz}
SECS=${2:-20}
for f in "$BUILD"/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$BUILD/fuzz/corpus-$name"
  mkdir -p "$corpus"
  echo "fuzzing $name for ${SECS}s"
  seeds="fuzz/seeds/$name"
  if [ -d "$seeds" ]; then
    "$f" -max_total_time="$SECS" -rss_limit_mb=2048 -timeout=10 "$corpus" "$seeds"
  else
    "$f" -max_total_time="$SECS" -rss_limit_mb=2048 -timeout=10 "$corpus"
  fi
done
