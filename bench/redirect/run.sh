#!/usr/bin/env bash
# Builds the release libraries and measures the CPU cost of watching a quiet child: run.sh [seconds]
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
out=$(build_bench redirect)
exec "$out" "${1:-10}"
