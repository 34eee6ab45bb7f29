#!/usr/bin/env bash
# Builds the release update library and measures the packet socket on loopback:
# run.sh [megabytes per throughput run (2048)] [idle seconds (10)]
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_bench bench_socket
exec "$(bench_program bench_socket)" "${1:-2048}" "${2:-10}"
