# Sourced by the scripts that run the README's split-batch recipes as written: a fresh account in
# a temporary folder, the README's commands, and a shared folder of eight short clips of which
# one is broken. After sourcing: $work (removed on exit, after the caller's own cleanup in
# recipe_cleanup), $work/shared/in, $work/whole.mp4 (the unbroken c8) and the functions below.

fail() { echo "FAIL: $*" >&2; exit 1; }

# A missing tool is a failure under ZELVORA_REQUIRE_TOOLS=1 and a skip (77) otherwise.
need() {
  command -v "$1" >/dev/null || [ -x "$1" ] && return 0
  [ "${ZELVORA_REQUIRE_TOOLS:-0}" = 1 ] && fail "$1 is not installed (setup installs it)"
  echo "SKIP: $1 is not installed" >&2
  exit 77
}
need parallel
need ffmpeg
need python3

work=$(mktemp -d)
recipe_cleanup() { :; }
trap 'recipe_cleanup; rm -rf "$work"' EXIT
# A fresh account: nothing stored, no desktop folder.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.local/state \
       XDG_CACHE_HOME=$work/home/.cache XDG_DATA_HOME=$work/home/.local/share
mkdir -p "$HOME" "$work/bin" "$work/shared/in"
ln -s "$zelvora" "$work/bin/zelvora"
export PATH=$work/bin:$PATH

# The README's indented command blocks of the split-batch section, continuation lines joined.
readme_blocks=$(python3 - "$readme" <<'PY'
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

# The first README command holding every WORD, and none of the words written !WORD.
pick() {
  local found=$readme_blocks word
  for word in "$@"; do
    case $word in
      !*) found=$(grep -v -F -- "${word#!}" <<<"$found") ;;
      *) found=$(grep -F -- "$word" <<<"$found") ;;
    esac
  done
  head -n 1 <<<"$found"
}

# Each argument names a recipe variable; all must have been found.
need_recipes() {
  local name
  echo "recipes:"
  for name in "$@"; do
    [ -n "${!name}" ] || fail "the README has no $name"
    printf '  %s\n' "${!name}"
  done
}

# A loopback port nothing listens on at the moment (someone may take it before the caller does).
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

clip() {
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=size=96x64:rate=10:duration=1 \
    -f lavfi -i sine=duration=1 -c:v mpeg4 -c:a libmp3lame -shortest "$1" || fail "ffmpeg made no clip"
}
for name in c1.avi c2.mp4 c3.mkv c4.mp4 c5.avi c6.mp4 c7.mov; do clip "$work/shared/in/$name"; done
# An MP4 cut before its index: the encoder says "moov atom not found".
clip "$work/whole.mp4"
head -c 2000 "$work/whole.mp4" > "$work/shared/in/c8.mp4"
printf '<SAMI></SAMI>\n' > "$work/shared/in/c2.smi"

# manifest_check DONE FAILED: manifest.jsonl in the current folder has that many lines of each,
# every done file's size is its output's, and the failed one says why.
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

# each_done_once [MANIFEST…]: each source has exactly one done line in the manifests
# (manifest.jsonl when none is named) and its output is there: every file converted once.
each_done_once() {
  python3 - "${@:-manifest.jsonl}" <<'PY'
import collections, json, os, sys
done = collections.Counter()
for manifest in sys.argv[1:]:
    for line in open(manifest, encoding='utf-8'):
        e = json.loads(line)
        if e['status'] == 'done':
            done[e['source']] += 1
            assert os.path.getsize(e['output']) == e['output_bytes'], e
sources = sorted(os.path.abspath('in/' + n) for n in os.listdir('in') if not n.endswith('.smi'))
assert sorted(done) == sources and set(done.values()) == {1}, done
PY
}
