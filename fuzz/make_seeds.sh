#!/usr/bin/env bash
# Makes small seed files for the fuzz targets with ffmpeg: fuzz/corpus/<target>/ (not in git).
# Usage: fuzz/make_seeds.sh [CORPUS_FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
corpus=${1:-$root/corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

video=(-f lavfi -i "testsrc=size=64x48:rate=25:duration=0.6")
audio=(-f lavfi -i "sine=frequency=440:sample_rate=8000:duration=0.6")

# name, target, then ffmpeg output options (the name's extension picks the muxer).
seeds=(
  "cbr.mp3|mp3|-map 1:a -c:a libmp3lame -b:a 32k"
  "vbr.mp3|mp3|-map 1:a -c:a libmp3lame -q:a 7"
  "mono22.mp3|mp3|-map 1:a -ar 22050 -ac 1 -c:a libmp3lame -b:a 24k"
  "stereo.mp2|mp3|-map 1:a -ar 32000 -ac 2 -c:a mp2 -b:a 64k"
  "lsf.mp2|mp3|-map 1:a -ar 16000 -c:a mp2 -b:a 32k"
  "h264.mp4|mp4|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a aac -b:a 24k"
  "audio.m4a|mp4|-map 1:a -c:a aac -b:a 24k"
  "mpeg4.mov|mp4|-map 0:v -map 1:a -c:v mpeg4 -c:a aac -b:a 24k"
  "frag.mp4|mp4|-map 0:v -c:v libx264 -preset ultrafast -movflags frag_keyframe+empty_moov"
  "frag_moof.mp4|mp4|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -g 5 -c:a aac -b:a 24k -movflags frag_keyframe+empty_moov+default_base_moof"
  "pcm96k.mov|mp4|-map 1:a -ar 96000 -c:a pcm_s24le -t 0.05"
  "twos.mov|mp4|-map 0:v -map 1:a -c:v mjpeg -c:a pcm_s16be"
  "u8.mov|mp4|-map 1:a -c:a pcm_u8"
  "h264.mkv|mkv|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a libvorbis"
  "vp8.webm|mkv|-map 0:v -c:v libvpx -b:v 50k"
  "live.mkv|mkv|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a libvorbis -live 1"
  "xvid.avi|avi|-map 0:v -map 1:a -c:v mpeg4 -vtag XVID -c:a libmp3lame -b:a 32k"
  "pcm.avi|avi|-map 0:v -map 1:a -c:v mpeg4 -c:a pcm_s16le"
  "video.wmv|asf|-map 0:v -map 1:a -c:v wmv2 -c:a wmav2 -b:a 32k"
  "audio.wma|asf|-map 1:a -c:a wmav2 -b:a 32k"
  "msmpeg4.asf|asf|-map 0:v -c:v msmpeg4"
  "vorbis.ogg|ogg|-map 1:a -c:a libvorbis"
  "theora.ogm|ogg|-map 0:v -map 1:a -c:v libtheora -c:a libvorbis -f ogg"
  "theora-only.ogm|ogg|-map 0:v -c:v libtheora -f ogg"
  "opus.ogg|ogg|-map 1:a -c:a libopus -b:a 16k"
  "speex.ogg|ogg|-map 1:a -c:a libspeex"
  "flac.ogg|ogg|-map 1:a -c:a flac -f ogg"
  "theora-opus.ogm|ogg|-map 0:v -map 1:a -c:v libtheora -c:a libopus -b:a 16k -f ogg"
  "flv1.flv|flv|-map 0:v -map 1:a -c:v flv -c:a libmp3lame -ar 22050 -b:a 32k"
  "h264.flv|flv|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a aac -b:a 24k"
  "speex.flv|flv|-map 0:v -map 1:a -c:v flv -ar 16000 -c:a libspeex"
  "nelly.flv|flv|-map 0:v -map 1:a -c:v flv -c:a nellymoser"
  "mpeg2.mpg|mpg|-map 0:v -map 1:a -c:v mpeg2video -c:a mp2 -b:a 64k"
  "mpeg1.mpg|mpg|-map 0:v -map 1:a -c:v mpeg1video -c:a mp2 -b:a 64k -f mpeg"
  "dvd.vob|mpg|-map 0:v -map 1:a -c:v mpeg2video -c:a ac3 -b:a 64k -f vob"
  "ac3-only.vob|mpg|-map 1:a -c:a ac3 -b:a 64k -f vob"
  "stream.ts|detect|-map 0:v -map 1:a -c:v mpeg2video -c:a mp2 -b:a 64k"
  "mpeg2.ts|ts|-map 0:v -map 1:a -c:v mpeg2video -c:a mp2 -b:a 64k -f mpegts"
  "h264.ts|ts|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a aac -b:a 24k -f mpegts"
  "m2ts.ts|ts|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a ac3 -b:a 64k -f mpegts -mpegts_m2ts_mode 1"
  "hevc.ts|ts|-map 0:v -map 1:a -c:v libx265 -preset ultrafast -x265-params log-level=error -c:a ac3 -b:a 64k -f mpegts"
  "eac3.ts|ts|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a eac3 -b:a 64k -f mpegts"
  "wrap.ts|ts|-map 0:v -map 1:a -c:v libx264 -preset ultrafast -c:a mp2 -b:a 64k -f mpegts -output_ts_offset 95443.5"
)

# Index of each extension in fuzz_detect.cpp's table.
declare -A detect_index=([mp3]=1 [mp2]=2 [ogg]=3 [ogm]=4 [wma]=5 [wmv]=6 [asf]=7 [mpg]=8 [vob]=9 [avi]=10
                         [mkv]=11 [webm]=11 [mp4]=12 [m4a]=13 [mov]=14 [flv]=16 [ts]=17)

for entry in "${seeds[@]}"; do
  IFS='|' read -r name target options <<<"$entry"
  # shellcheck disable=SC2086  # the options are words on purpose
  ffmpeg -nostdin -v error -y "${video[@]}" "${audio[@]}" $options -metadata title=seed "$work/$name"
  mkdir -p "$corpus/$target" "$corpus/detect"
  cp "$work/$name" "$corpus/$target/$name"
  # fuzz_detect takes the file name's extension from its first byte (its table's index).
  ext=${name##*.}
  { printf "\\$(printf '%03o' "${detect_index[$ext]:-0}")"; cat "$work/$name"; } >"$corpus/detect/$name"
done
# Update packages and protocol streams: small ZIP archives made by Python's zipfile (stored,
# deflated, a folder, a ZIP64 size field, a password-protected member made by zip), and block
# streams (two bytes of block size, one seed byte for the piece sizes, then the stream).
mkdir -p "$corpus/zip" "$corpus/blocks"
python3 - "$corpus" <<'PY'
import struct, sys, zipfile
corpus = sys.argv[1]
def make(name, members, **kw):
    with zipfile.ZipFile(f"{corpus}/zip/{name}", "w", **kw) as z:
        for member, data, method in members:
            z.writestr(zipfile.ZipInfo(member) if member.endswith("/") else member, data, compress_type=method)
make("stored.zip", [("a.dll", b"stored bytes", zipfile.ZIP_STORED)])
make("deflated.zip", [("a.dll", b"abc" * 300, zipfile.ZIP_DEFLATED), ("sub\\b.ocx", bytes(range(256)), zipfile.ZIP_DEFLATED)])
make("folders.zip", [("dir/", b"", zipfile.ZIP_STORED), ("dir/x.txt", b"x", zipfile.ZIP_DEFLATED)])
with zipfile.ZipFile(f"{corpus}/zip/zip64.zip", "w") as z:
    with z.open("big.bin", "w", force_zip64=True) as f:
        f.write(b"zip64" * 50)
for name, size, seed, stream in [("two256", 256, 1, b"_GSECTN:\0\x03\0\0\0abc".ljust(256, b"\0") * 2),
                                 ("split32k", 0, 7, b"_PFSAVE:\0\x10\0\0\0".ljust(40000, b"p")),
                                 ("tiny", 13, 200, b"_PERMSG:\0\xff\xff\xff\xff" * 5)]:
    open(f"{corpus}/blocks/{name}", "wb").write(struct.pack("<HB", size, seed) + stream)
# fuzz_skylift: mode byte, then records of marker selector (0 _PFLIST: 1 _PFSAVE: 2 _PAREND:
# 3 _PERMSG:), stored length, payload size, payload.
import os
os.makedirs(f"{corpus}/skylift", exist_ok=True)
def rec(sel, payload): return bytes([sel]) + struct.pack("<iH", len(payload), len(payload)) + payload
def entry(k, f, sub, name, size, t): return bytes([ord(k), ord(f)]) + struct.pack("<hh", len(sub), len(name)) + sub + name + struct.pack("<ii", size, t)
def lst(more, total, entries): return bytes([more]) + struct.pack("<ii", total, len(entries)) + b"".join(entries)
def piece(more, pos, data): return bytes([more]) + struct.pack("<H", pos) + data
seeds = {
    "download": bytes([0]) + rec(0, lst(0, 3, [entry("C", "M", b"", b"a.bin", 5, 1600000000), entry("U", "M", b"sub", b"b.txt", 3, 1600000000), entry("D", "M", b"", b"old", 0, 0)]))
                + rec(1, piece(1, 0, b"hel")) + rec(1, piece(0, 0, b"lo")) + rec(1, piece(0, 1, b"abc")) + rec(2, b""),
    "check": bytes([1]) + rec(0, lst(0, 1, [entry("G", "M", b"", b"x", 1, 1)])) + rec(1, piece(0, 0, b"x")),
    "split": bytes([0]) + rec(0, lst(1, 2, [entry("C", "T", b"", b"y.exe", 2, 1)])) + rec(0, lst(0, 0, [entry("C", "K", b"..", b"z", 1, 1)])) + rec(3, b"12"),
    "zip": bytes([0]) + rec(0, lst(0, 1, [entry("C", "M", b"", b"p.zip", 22, 1)])) + rec(1, piece(0, 0, b"PK\x05\x06" + b"\0" * 18)),
}
for name, data in seeds.items():
    open(f"{corpus}/skylift/{name}", "wb").write(data)
PY
if command -v zip >/dev/null; then
  printf 'secret text' >"$work/secret.txt"
  zip -q -j -P pw "$corpus/zip/encrypted.zip" "$work/secret.txt"
fi

echo "seeds in $corpus:" >&2
for d in "$corpus"/*/; do echo "  $(basename "$d"): $(ls "$d" | wc -l) files, $(du -sk "$d" | cut -f1) KiB" >&2; done
