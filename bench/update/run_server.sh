#!/usr/bin/env bash
# Builds the release update server and loads it on loopback:
# run_server.sh [clients (200)] [file MB (1)] [large file MB (100)]
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORA_TESTS=OFF >&2
fi
cmake --build "$build" --target zelvora-update-server >&2
out="$build/bench_server"
g++ -std=c++20 -O2 "$root/bench/update/bench_server.cpp" -pthread -o "$out" >&2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$out" "$build/tools/update-server/zelvora-update-server" "$scratch" "${1:-200}" "${2:-1}" "${3:-100}"
