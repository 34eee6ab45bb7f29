#!/usr/bin/env bash
# Builds the release libraries and measures loading and saving the settings: run.sh [rounds]
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
out=$(build_bench settings)
exec "$out" "${1:-200}"
