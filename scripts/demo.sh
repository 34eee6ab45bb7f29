#!/usr/bin/env bash
# The terminal demo of ./run without a display: makes two short clips (one with a Korean
# subtitle beside it), converts them with the stored settings and shows the result.
set -euo pipefail
zelvora=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/zelvora-demo.XXXXXX")
echo "demo: clips and outputs in $work"
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=320x240:rate=25:duration=4 \
  -f lavfi -i sine=frequency=440:duration=4 -c:v mpeg4 -q:v 5 -c:a libmp3lame -shortest "$work/첫번째 클립.avi"
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc2=size=352x288:rate=30:duration=3 \
  -f lavfi -i sine=frequency=660:duration=3 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$work/second clip.mp4"
cat > "$work/second clip.smi" <<'SMI'
<SAMI>
<HEAD><TITLE>demo</TITLE></HEAD>
<BODY>
<SYNC Start=0><P Class=KRCC>안녕하세요, 젤보라 데모입니다.
<SYNC Start=1500><P Class=KRCC>자막이 영상에 입혀집니다.
<SYNC Start=2900><P Class=KRCC>&nbsp;
</BODY>
</SAMI>
SMI
mkdir -p "$work/out"
"$zelvora" probe "$work/첫번째 클립.avi" "$work/second clip.mp4"
echo
status=0
"$zelvora" encode --output-dir "$work/out" --set encoding_options.sub_mapping=1 \
  "$work/첫번째 클립.avi" "$work/second clip.mp4" || status=$?
echo
echo "demo: outputs"
"$zelvora" probe "$work/out"/* || true
exit $status
