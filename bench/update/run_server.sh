#!/usr/bin/env bash
# Builds the release update server and loads it on loopback:
# run_server.sh [clients (200)] [file MB (1)] [large file MB (100)]
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
build_bench bench_server zelvora-update-server
out=$(bench_program bench_server)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$out" "$build/tools/update-server/zelvora-update-server" "$scratch" "${1:-200}" "${2:-1}" "${3:-100}"
