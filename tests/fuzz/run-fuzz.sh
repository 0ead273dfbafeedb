#!/bin/sh
# Runs the receive-path fuzz target for SECONDS, starting from the kept seeds
# (copied, so new finds stay in the build tree), and prints its figures.
#   sh run-fuzz.sh TARGET SEEDS CORPUS SECONDS
set -eu
TARGET=$1 SEEDS=$2 CORPUS=$3 SECONDS_=$4
mkdir -p "$CORPUS" "$CORPUS.crashes"
cp -n "$SEEDS"/* "$CORPUS"/ 2>/dev/null || true
exec "$TARGET" -max_total_time="$SECONDS_" -max_len=2048 -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
  -artifact_prefix="$CORPUS.crashes/" "$CORPUS"
