#!/bin/bash
# Runs every fuzz target of a fuzz build for a number of seconds each. The
# fuzzer's own output goes to BUILD/fuzz-logs/NAME.log; the console gets one
# line per target: runs, coverage and the result.
set -uo pipefail
BUILD=${1:-build-fuzz}
SECS=${2:-20}
LOGS="$BUILD/fuzz-logs"
mkdir -p "$LOGS"
failed=0
for f in "$BUILD"/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$BUILD/fuzz/corpus-$name"
  log="$LOGS/$name.log"
  mkdir -p "$corpus"
  seeds="fuzz/seeds/$name"
  [ -d "$seeds" ] || seeds=""
  "$f" -max_total_time="$SECS" -rss_limit_mb=2048 -timeout=10 -artifact_prefix="$LOGS/$name-" \
    "$corpus" $seeds >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  if [ "$status" -eq 0 ]; then result=ok; else result="FAILED (exit $status, see $log)"; failed=1; fi
  printf '%-28s runs %-10s coverage %-6s %s\n' "$name" "${runs:-?}" "${cov:-?}" "$result"
done
exit $failed
