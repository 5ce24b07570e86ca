#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets (preset "fuzz") and runs each for a bounded time:
#   scripts/fuzz.sh            about 20 s per target
#   scripts/fuzz.sh 600        ten minutes per target
# Each target works on its own copy of its seed corpus under build/fuzz/run/<target>,
# so what a run discovers stays out of the repository and is reused by the next run;
# crashing inputs land in build/fuzz/run/<target>/artifacts. Exits non-zero when a
# target fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh

seconds=${1:-20}
case $seconds in
  '' | *[!0-9]*) echo "usage: $0 [seconds per target]" >&2; exit 2 ;;
esac
targets=(command_line_fuzz payload_fuzz table_fuzz)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]}" >/dev/null

run=build/fuzz/run
passed=0
failed=0
for t in "${targets[@]}"; do
  dir=$run/$t
  mkdir -p "$dir/corpus" "$dir/artifacts"
  # New seeds from the repository join the working corpus; nothing goes the other way.
  for seed in fuzz/corpus/$t/*; do
    [ -e "$dir/corpus/${seed##*/}" ] || cp "$seed" "$dir/corpus/"
  done
  echo "== $t: ${seconds} s"
  status=0
  build/fuzz/fuzz/$t -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
  corpus=$(find "$dir/corpus" -type f | wc -l)
  if [ "$status" -eq 0 ]; then
    passed=$((passed + 1))
    echo "$t: passed, ${execs:-0} executions, corpus of $corpus inputs"
  else
    failed=$((failed + 1))
    # The check's or the sanitizer's report, and where the input was kept.
    report=$(sed -n '/check failed\|ERROR: \|runtime error/,/^SUMMARY/p' "$dir/log" | head -n 30)
    [ -n "$report" ] || report=$(tail -n 20 "$dir/log")
    echo "$report"
    sed -n 's/.*Test unit written to /input: /p' "$dir/log"
    echo "$t: FAILED (exit $status), ${execs:-?} executions; full log in $dir/log"
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
