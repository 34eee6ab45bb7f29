# Shared by the C++ benchmark scripts (sourced): build_bench TARGET… builds those targets (benchmark
# programs of bench/CMakeLists.txt and any program they drive) in the release tree; bench_program
# NAME prints the path of the benchmark program NAME.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build/release"

build_bench() {
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVORA_TESTS=OFF \
      -DZELVORA_BENCHMARKS=ON >&2
  elif ! grep -q '^ZELVORA_BENCHMARKS:BOOL=ON' "$build/CMakeCache.txt"; then
    # The tree ./run made builds no benchmarks: they are switched on there once.
    cmake -S "$root" -B "$build" -DZELVORA_BENCHMARKS=ON >&2
  fi
  cmake --build "$build" --target "$@" >&2
}

bench_program() { echo "$build/bench/$1"; }
