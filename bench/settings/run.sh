#!/usr/bin/env bash
# Builds the release libraries and measures loading and saving the settings: run.sh [rounds]
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_bench bench_settings
exec "$(bench_program bench_settings)" "${1:-200}"
