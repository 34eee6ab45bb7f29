#!/usr/bin/env bash
# Builds the release libraries and measures the CPU cost of watching a quiet child: run.sh [seconds]
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_bench bench_redirect
exec "$(bench_program bench_redirect)" "${1:-10}"
