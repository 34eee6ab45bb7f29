#!/usr/bin/env bash
# Runs the README's GNU parallel recipe (four shards on this machine), its --pending listing and
# its re-run, exactly as the README writes them, on eight short clips of which one is broken,
# as a user with a fresh account would. Usage: readme_parallel.sh ZELVORA README.md
set -uo pipefail
zelvora=$1
readme=$2

source "$(dirname "$0")/readme_recipe.sh"

export_cmd=$(pick 'zelvora settings export job.reg')
run_cmd=$(pick 'parallel --will-cite -j4' '!--skip-done')
pending_cmd=$(pick 'zelvora encode --pending manifest.jsonl')
rerun_cmd=$(pick 'parallel --will-cite -j4' '--skip-done manifest.jsonl')
need_recipes export_cmd run_cmd pending_cmd rerun_cmd

cd "$work/shared"
bash -c "$export_cmd" || fail "settings export failed"
[ -f job.reg ] || fail "no job.reg"
bash -c "$run_cmd"
status=$?
[ "$status" = 1 ] || fail "parallel should report one failed shard, not $status"
[ ! -e "$HOME/Desktop" ] || fail "--output-dir made ~/Desktop"

manifest_check 7 1 || fail "first run's manifest"
[ "$(ls out | wc -l)" = 7 ] || fail "seven outputs expected: $(ls out)"

# What a user meets next: the broken file is replaced, and shard 2 is taken as one that never
# ran (its lines and outputs gone), as with an unreachable machine.
cp "$work/whole.mp4" in/c8.mp4
python3 - <<'PY'
import json, os
keep = []
for line in open('manifest.jsonl', encoding='utf-8'):
    e = json.loads(line)
    if '--shard 2/4' in e['invocation']:
        if e['output']:
            os.remove(e['output'])
    else:
        keep.append(line)
open('manifest.jsonl', 'w', encoding='utf-8').writelines(keep)
PY
expected=$( (echo in/c8.mp4; python3 -c '
import os
files = sorted(os.path.abspath("in/" + n) for n in os.listdir("in") if not n.endswith(".smi"))
print("\n".join("in/" + os.path.basename(f) for f in files[2::4]))') | sort -u)
got=$(bash -c "$pending_cmd" 2>/dev/null | sort)
[ "$got" = "$expected" ] || fail "pending: got [$got], expected [$expected]"
before=$(wc -l < manifest.jsonl)
bash -c "$rerun_cmd" || fail "the re-run failed"
added=$(( $(wc -l < manifest.jsonl) - before ))
[ "$added" = "$(wc -l <<<"$expected")" ] || fail "the re-run converted $added files, not exactly the pending ones"
[ "$(ls out | wc -l)" = 8 ] || fail "eight outputs expected: $(ls out)"
[ -z "$(bash -c "$pending_cmd" 2>/dev/null)" ] || fail "files still pending after the re-run"
echo "PASS"
