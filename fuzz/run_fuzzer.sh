#!/usr/bin/env bash
# Runs one fuzz target for SECONDS, growing a working corpus in build/fuzz-work/TARGET
# and time-stamping libFuzzer's progress lines (seconds since the epoch) in its log.
#   fuzz/run_fuzzer.sh TARGET SECONDS [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
work=build/fuzz-work/$1
mkdir -p "$work/corpus" "$work/artifacts"
"${3:-build/fuzz}/fuzz/$1_fuzzer" -max_total_time="$2" -max_len=4096 -timeout=20 -rss_limit_mb=4096 \
  -use_value_profile=1 -dict=fuzz/json.dict -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
  "$work/corpus" "fuzz/corpus/$1" tests/data/JSONTestSuite/test_parsing 2>&1 |
  while IFS= read -r line; do printf '%(%s)T %s\n' -1 "$line"; done >>"$work/log"
