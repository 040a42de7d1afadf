#!/usr/bin/env bash
# Runs a libFuzzer target: first once over every kept regression case, then
# for a bounded time from the seeds. A crash fails the test and leaves its
# input in the build directory; keep it under tests/fuzz/regressions/.
set -euo pipefail
fuzzer="$1" seeds="$2" regressions="$3" seconds="$4"
work="$(dirname "$fuzzer")/$(basename "$fuzzer")-run"
rm -rf "$work" && mkdir -p "$work/corpus"
cp "$seeds"/* "$work/corpus/"
shopt -s nullglob
cases=("$regressions"/*)
if ((${#cases[@]})); then
  "$fuzzer" -runs=1 "${cases[@]}" > "$work/regressions.log" 2>&1 || { cat "$work/regressions.log"; exit 1; }
  echo "regression cases: ${#cases[@]} passed"
fi
"$fuzzer" -max_total_time="$seconds" -rss_limit_mb=1024 -artifact_prefix="$work/" "$work/corpus" \
  > "$work/fuzz.log" 2>&1 || { tail -40 "$work/fuzz.log"; echo "crash input kept in $work"; exit 1; }
tail -1 "$work/fuzz.log"
