#!/usr/bin/env bash
# Summary of the long fuzz runs: per target the executions so far, the
# coverage reached, how long ago it last grew, and crashes found.
cd "$(dirname "$0")/.."
now=$(date +%s)
for log in build/fuzz-work/*/log; do
  target=$(basename "$(dirname "$log")")
  awk -v now="$now" -v target="$target" '
    $1 ~ /^[0-9]+$/ && /cov:/ {
      for (i = 1; i <= NF; i++) if ($i == "cov:") cov = $(i + 1)
      if (first == "") first = $1
      if (cov != last_cov) { last_cov = cov; changed = $1 }
      if ($2 ~ /^#[0-9]+$/) execs = substr($2, 2)
      last = $1
    }
    END {
      printf "%-16s execs %-12s cov %-6s last cov increase %5d s ago, running %5d s\n",
             target, execs, last_cov, now - changed, last - first
    }' "$log"
  echo "                 crashes: $(ls "build/fuzz-work/$target/artifacts" | wc -l)"
done
