#!/usr/bin/env bash
# run_fuzzer.sh HARNESS WORKDIR RUNS [SEED_DIR]: a bounded libFuzzer run.
set -euo pipefail
harness=$1 work=$2 runs=$3 seed=${4:-}
mkdir -p "$work"
dirs=("$work")
if [ -n "$seed" ] && [ -d "$seed" ]; then
  dirs+=("$seed")
fi
exec "$harness" -runs="$runs" -max_total_time="${SV_FUZZ_SECONDS:-30}" -max_len=1048576 -rss_limit_mb=4096 -timeout=30 \
  -print_final_stats=1 "${dirs[@]}"
