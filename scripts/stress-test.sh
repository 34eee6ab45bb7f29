#!/usr/bin/env bash
# Runs the whole test suite N times on a loaded machine, in a shuffled order:
#   scripts/stress-test.sh [N]        (default 3)
# Each round runs ./test -j 4 (tests in random order) while stress-ng keeps two CPUs busy, then
# every test program once more as a whole with --gtest_shuffle, so that tests sharing a process
# meet in a random order too. Every round prints its seed; a failure names it, and
#   GTEST_SHUFFLE=1 GTEST_RANDOM_SEED=SEED build/asan/tests/PROGRAM
# replays that order. Exits 1 when any round failed.
set -uo pipefail
rounds=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
command -v stress-ng >/dev/null || { echo "stress-test: stress-ng is missing" >&2; exit 2; }
logs=$(mktemp -d "${TMPDIR:-/tmp}/zelvora-stress-XXXXXX")
echo "stress-test: $rounds rounds; logs in $logs"

stress_pid=
stop_stress() {
  if [ -n "$stress_pid" ]; then
    kill "$stress_pid" 2>/dev/null
    wait "$stress_pid" 2>/dev/null
    stress_pid=
  fi
}
trap stop_stress EXIT
trap 'stop_stress; exit 130' INT TERM

# What ./test sets for its own run, for the programs run directly below.
export ZELVORA_REQUIRE_TOOLS=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=0
for round in $(seq 1 "$rounds"); do
  seed=$(( (RANDOM * 32768 + RANDOM) % 99999 + 1 ))
  echo "== round $round of $rounds: GTEST_RANDOM_SEED=$seed"
  stress-ng --cpu 2 --timeout 0 --quiet &
  stress_pid=$!
  export GTEST_SHUFFLE=1 GTEST_RANDOM_SEED=$seed
  log="$logs/round$round-ctest.log"
  if "$root/test" -j 4 --schedule-random >"$log" 2>&1; then
    echo "   ./test -j 4: passed"
  else
    echo "   ./test -j 4: FAILED (seed $seed):"
    grep -E '^\s*[0-9]+ - .*\((Failed|Timeout|Subprocess|SEGFAULT|Exception)|tests failed' "$log" | sed 's/^/     /'
    failed=1
  fi
  # Whole programs, four at a time, each in its own shuffled order.
  log="$logs/round$round-programs.log"
  : >"$log"
  find "$root/build/asan/tests" -maxdepth 1 -type f -perm -u+x -name '*_test_*' | sort |
    xargs -P 4 -I{} sh -c '
      case "$(basename "$1")" in
        # QTest programs (the windows and dialogs) have no shuffle of their own; they run as
        # ctest runs them, on the off-screen platform, so that no display is needed.
        ui_test_*|app_test_*) out=$(cd "$(dirname "$1")" && QT_QPA_PLATFORM=offscreen "$1" 2>&1) ;;
        *) out=$(cd "$(dirname "$1")" && "$1" --gtest_shuffle --gtest_random_seed="$2" 2>&1) ;;
      esac; rc=$?
      if [ $rc -ne 0 ]; then printf "FAILED %s (exit %s)\n%s\n" "$(basename "$1")" "$rc" "$out"; fi
    ' sh {} "$seed" >>"$log"
  if grep -q '^FAILED ' "$log"; then
    echo "   shuffled programs: FAILED (seed $seed):"
    grep -E '^FAILED |^\[  FAILED  \]' "$log" | sort -u | sed 's/^/     /'
    failed=1
  else
    echo "   shuffled programs: passed"
  fi
  unset GTEST_SHUFFLE GTEST_RANDOM_SEED
  stop_stress
done
[ $failed -eq 0 ] && echo "stress-test: all $rounds rounds passed" || echo "stress-test: failures above; logs in $logs"
exit $failed
