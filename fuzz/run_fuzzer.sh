#!/usr/bin/env bash
# Runs one fuzz target for a while, growing a working corpus beside the build
# and time-stamping libFuzzer's progress lines (seconds since the epoch) so
# that the time since the last new unit can be read off the log.
#   fuzz/run_fuzzer.sh TARGET SECONDS [BUILD_DIR]
set -euo pipefail
target=$1
seconds=$2
build=${3:-build/fuzz}
root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/build/fuzz-work/$target"
mkdir -p "$work/corpus" "$work/artifacts"
cd "$root"
"$build/fuzz/${target}_fuzzer" \
  -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=4096 \
  -use_value_profile=1 -dict=fuzz/json.dict -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" \
  "$work/corpus" "fuzz/corpus/$target" tests/data/JSONTestSuite/test_parsing 2>&1 |
  while IFS= read -r line; do printf '%(%s)T %s\n' -1 "$line"; done >>"$work/log"
