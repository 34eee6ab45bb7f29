# Shared by the C++ benchmark scripts (sourced): build_bench NAME builds the release libraries,
# links bench/NAME/bench_NAME.cpp against them and prints the path of the program.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/release"

build_bench() {
  local name=$1 out="$build/bench_$1"
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORA_TESTS=OFF >&2
  fi
  cmake --build "$build" --target zelvora_encoder zelvora_platform zelvora_support >&2
  g++ -std=c++20 -O2 -I"$root" "$root/bench/$name/bench_$name.cpp" \
    "$build/encoder/libzelvora_encoder.a" "$build/probe/libzelvora_probe.a" \
    "$build/platform/libzelvora_platform.a" "$build/support/libzelvora_support.a" -pthread -o "$out" >&2
  echo "$out"
}
