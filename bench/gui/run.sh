#!/usr/bin/env bash
# The desktop program's benchmark: makes the clips, builds bench_gui against the release build and runs it.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
media=$(mktemp -d)
trap 'rm -rf "$media"' EXIT
export XDG_CONFIG_HOME="$media/config" XDG_CACHE_HOME="$media/cache" XDG_STATE_HOME="$media/state"

build_bench bench_gui zelvora
out=$(bench_program bench_gui)

# A few small clips, each listed many times under its own name (hard links: the probe reads
# each name as its own file).
mkdir -p "$media/clips" "$media/drop"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t 2 -c:v mpeg4 -c:a libmp3lame -shortest "$media/clips/a.avi"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t 2 -c:v libx264 -preset ultrafast -c:a aac -shortest "$media/clips/b.mp4"
ffmpeg -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i sine -t 2 -c:v libvpx -c:a libvorbis -shortest "$media/clips/c.mkv"
clips=(a.avi b.mp4 c.mkv)
for i in $(seq 0 9999); do
  c=${clips[$((i % 3))]}
  ln "$media/clips/$c" "$media/drop/$(printf '%05d' "$i")_$c"
done
# The clip both runs convert.
ffmpeg -v error -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine -t 20 -c:v mpeg4 -q:v 4 -c:a libmp3lame -shortest "$media/encode.avi"

"$out" "$media" "$build/cli/zelvora"
