#!/usr/bin/env bash
# Runs the README's GNU parallel recipe (four shards on this machine), its --pending listing and
# its re-run, exactly as the README writes them, on eight short clips of which one is broken,
# as a user with a fresh account would. Usage: readme_parallel.sh ZELVORA README.md
set -uo pipefail
zelvora=$1
readme=$2

fail() { echo "FAIL: $*" >&2; exit 1; }
need() {
  command -v "$1" >/dev/null && return 0
  [ "${ZELVORA_REQUIRE_TOOLS:-0}" = 1 ] && fail "$1 is not installed (setup installs it)"
  echo "SKIP: $1 is not installed" >&2
  exit 77
}
need parallel
need ffmpeg
need python3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A fresh account: nothing stored, no desktop folder.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.local/state \
       XDG_CACHE_HOME=$work/home/.cache XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME" "$work/bin" "$work/shared/in"
ln -s "$zelvora" "$work/bin/zelvora"
export PATH=$work/bin:$PATH

# The README's indented command blocks, continuation lines joined.
blocks=$(python3 - "$readme" <<'PY'
import sys
text = open(sys.argv[1], encoding='utf-8').read().split('\n')
start = text.index('## Splitting a large batch over several machines')
commands, current = [], ''
for line in text[start:]:
    if line.startswith('    '):
        piece = line[4:]
        current += piece[:-1] + ' ' if piece.endswith('\\') else piece
        if not piece.endswith('\\'):
            commands.append(current)
            current = ''
    elif line.startswith('## ') and line != text[start]:
        break
for c in commands:
    print(c)
PY
)
pick() { grep -F -- "$1" <<<"$blocks" | grep -v -F -- "${2:-@@none@@}" | head -n 1; }
export_cmd=$(pick 'zelvora settings export job.reg')
run_cmd=$(pick 'parallel --will-cite -j4' '--skip-done')
pending_cmd=$(pick 'zelvora encode --pending manifest.jsonl')
rerun_cmd=$(pick '--skip-done manifest.jsonl')
for c in "$export_cmd" "$run_cmd" "$pending_cmd" "$rerun_cmd"; do
  [ -n "$c" ] || fail "a recipe is missing from the README"
done
echo "recipes:"; printf '  %s\n' "$export_cmd" "$run_cmd" "$pending_cmd" "$rerun_cmd"

clip() {
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=96x64:rate=10:duration=1 \
    -f lavfi -i sine=duration=1 -c:v mpeg4 -c:a libmp3lame -shortest "$1" || fail "ffmpeg made no clip"
}
cd "$work/shared"
for name in c1.avi c2.mp4 c3.mkv c4.mp4 c5.avi c6.mp4 c7.mov; do clip "in/$name"; done
# An MP4 cut before its index: the encoder says "moov atom not found".
clip "$work/whole.mp4"
head -c 2000 "$work/whole.mp4" > in/c8.mp4
printf '<SAMI></SAMI>\n' > in/c2.smi

bash -c "$export_cmd" || fail "settings export failed"
[ -f job.reg ] || fail "no job.reg"
bash -c "$run_cmd"
status=$?
[ "$status" = 1 ] || fail "parallel should report one failed shard, not $status"
[ ! -e "$HOME/Desktop" ] || fail "--output-dir made ~/Desktop"

manifest_check() {
  python3 - "$@" <<'PY'
import json, os, sys
lines = [json.loads(l) for l in open('manifest.jsonl', encoding='utf-8')]
want_done, want_failed = int(sys.argv[1]), int(sys.argv[2])
done = [e for e in lines if e['status'] == 'done']
failed = [e for e in lines if e['status'] == 'failed']
assert len(done) == want_done and len(failed) == want_failed, (len(done), len(failed))
for e in done:
    assert e['output_bytes'] == os.path.getsize(e['output']), e
for e in failed:
    assert 'moov atom not found' in e['message'] and 'Failed encoding media file' in e['message'], e['message']
assert not any(e['source'].endswith('.smi') for e in lines)
PY
}
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
