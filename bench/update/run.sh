#!/usr/bin/env bash
# Builds the release update library and measures the packet socket on loopback:
# run.sh [megabytes per throughput run (2048)] [idle seconds (10)]
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORA_TESTS=OFF >&2
fi
cmake --build "$build" --target zelvora_update zelvora_support >&2
out="$build/bench_socket"
g++ -std=c++20 -O2 -I"$root" "$root/bench/update/bench_socket.cpp" \
  "$build/update/libzelvora_update.a" "$build/support/libzelvora_support.a" -lmspack -lz -pthread -o "$out" >&2
exec "$out" "${1:-2048}" "${2:-10}"
