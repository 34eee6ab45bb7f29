#!/usr/bin/env bash
# Configures (first time only) and builds one build tree: build.sh DIR [cmake options…]
set -euo pipefail
dir=$1; shift
root=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -f "$root/$dir/build.ninja" ]; then
  cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >&2
fi
cmake --build "$root/$dir" >&2
