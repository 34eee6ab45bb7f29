#!/usr/bin/env bash
# Builds the release libraries and measures loading and saving the settings: run.sh [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build/release"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORA_TESTS=OFF >&2
fi
cmake --build "$build" --target zelvora_encoder zelvora_platform zelvora_support >&2
out="$build/bench_settings"
g++ -std=c++20 -O2 -I"$root" "$root/bench/settings/bench_settings.cpp" \
  "$build/encoder/libzelvora_encoder.a" "$build/probe/libzelvora_probe.a" \
  "$build/platform/libzelvora_platform.a" "$build/support/libzelvora_support.a" -pthread -o "$out"
exec "$out" "${1:-200}"
