#!/usr/bin/env bash
# Per target of the long fuzz runs: executions, coverage, when it last grew, run time, crashes.
cd "$(dirname "$0")/.."
for work in build/fuzz-work/*; do
  awk -v now="$(date +%s)" -v target="${work##*/}" -v crashes="$(ls "$work/artifacts" | wc -l)" '
    / cov: / { for (i = 1; i <= NF; i++) if ($i == "cov:") cov = $(i + 1)
               if (cov != last) { last = cov; changed = $1 }
               if ($2 ~ /^#/) execs = substr($2, 2)
               if (!first) first = $1; end = $1 }
    END { printf "%-14s execs %-11s cov %-6s grew %5d s ago, ran %5d s, crashes %s\n",
                 target, execs, last, now - changed, end - first, crashes }' "$work/log"
done
