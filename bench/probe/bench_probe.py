#!/usr/bin/env python3
"""Probe speed: `zelvora probe --json` against ffprobe and mediainfo over a mixed corpus.

Makes (once, cached under build/) a corpus of small media files of every container the
probe reads, then times in one run:
  - zelvora probe --json over all files (one process), and once per file,
  - ffprobe once per file (the way a program without its own probe would ask),
  - mediainfo --Output=JSON over all files (one process),
and reports files per second and the ratios. Only the standard library is used.
"""

import argparse
import concurrent.futures
import json
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CORPUS_VERSION = "2"

VIDEO = "testsrc=size=64x48:rate=25:duration={d}"
AUDIO = "sine=frequency={f}:sample_rate={r}:duration={d}"

# extension: (needs video, audio sample rate, ffmpeg output options)
KINDS = {
    "mp4": (True, 44100, "-c:v libx264 -preset ultrafast -c:a aac -b:a 32k"),
    "m4a": (False, 44100, "-c:a aac -b:a 32k"),
    "mov": (True, 44100, "-c:v mpeg4 -c:a aac -b:a 32k"),
    "mkv": (True, 44100, "-c:v libx264 -preset ultrafast -c:a libvorbis"),
    "mp3": (False, 44100, "-c:a libmp3lame -b:a 64k"),
    "vbr.mp3": (False, 22050, "-c:a libmp3lame -q:a 6"),
    "mp2": (False, 48000, "-c:a mp2 -b:a 128k"),
    "avi": (True, 44100, "-c:v mpeg4 -vtag XVID -c:a libmp3lame -b:a 64k"),
    "wmv": (True, 44100, "-c:v wmv2 -c:a wmav2 -b:a 64k"),
    "wma": (False, 44100, "-c:a wmav2 -b:a 64k"),
    "asf": (True, 22050, "-c:v msmpeg4 -c:a wmav2 -b:a 32k"),
    "ogg": (False, 44100, "-c:a libvorbis"),
    "ogm": (True, 44100, "-c:v libtheora -c:a libvorbis -f ogg"),
    "flv": (True, 22050, "-c:v flv -c:a libmp3lame -b:a 32k"),
    "mpg": (True, 48000, "-c:v mpeg2video -c:a mp2 -b:a 128k"),
    "vob": (True, 48000, "-c:v mpeg2video -c:a ac3 -b:a 96k -f vob"),
    "ts": (True, 48000, "-c:v mpeg2video -c:a mp2 -b:a 128k"),
    "m2ts": (True, 48000, "-c:v libx264 -preset ultrafast -c:a ac3 -b:a 96k -f mpegts -mpegts_m2ts_mode 1"),
}
VARIANTS = 18  # files per kind: 18 kinds × 18 = 324 files
# Each kind's files are probed this many times over in one process for the per-kind figures, so
# that the start of the process does not hide the probe's own time.
KIND_REPEATS = 20


def log(text):
    print(text, file=sys.stderr, flush=True)


def build_zelvora():
    """The release build of ./run; only the command itself is rebuilt when it exists."""
    build = ROOT / "build" / "release"
    if not (build / "build.ninja").exists():
        subprocess.run([str(ROOT / "scripts" / "build.sh"), "build/release", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DZELVORA_TESTS=OFF"], check=True, cwd=ROOT)
    else:
        subprocess.run(["cmake", "--build", str(build), "--target", "zelvora"], check=True,
                        stdout=subprocess.DEVNULL)
    return build / "cli" / "zelvora"


def make_one(folder, kind, n):
    video, rate, options = KINDS[kind]
    duration = 1 + n % 3  # 1 to 3 seconds
    name = f"clip{n:02d}.{kind}"
    out = folder / name
    if out.exists():
        return out
    argv = ["ffmpeg", "-nostdin", "-v", "error", "-y"]
    if video:
        argv += ["-f", "lavfi", "-i", VIDEO.format(d=duration)]
    argv += ["-f", "lavfi", "-i", AUDIO.format(f=220 + 40 * n, r=rate, d=duration)]
    argv += options.split()
    tmp = folder / (".part-" + name)
    subprocess.run(argv + [str(tmp)], check=True)
    tmp.rename(out)
    return out


def make_corpus(folder):
    stamp = folder / "corpus-version"
    if stamp.exists() and stamp.read_text() == CORPUS_VERSION:
        files = sorted(p for p in folder.iterdir() if p.name.startswith("clip"))
        if len(files) == len(KINDS) * VARIANTS:
            return files
    folder.mkdir(parents=True, exist_ok=True)
    jobs = [(kind, n) for kind in KINDS for n in range(VARIANTS)]
    log(f"making {len(jobs)} files in {folder} …")
    started = time.monotonic()
    workers = max(1, min(4, os.cpu_count() or 1))
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        files = list(pool.map(lambda job: make_one(folder, *job), jobs))
    stamp.write_text(CORPUS_VERSION)
    log(f"corpus made in {time.monotonic() - started:.1f} s")
    return sorted(files)


def timed(argv_list):
    """Runs each argv in turn (output discarded); returns the elapsed seconds."""
    started = time.perf_counter()
    for argv in argv_list:
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - started


def median_time(argv_list, runs):
    return statistics.median(timed(argv_list) for _ in range(runs))


def recognised(zelvora, files):
    out = subprocess.run([str(zelvora), "probe", "--json", *map(str, files)], capture_output=True, check=False)
    report = json.loads(out.stdout)
    by_kind = {}
    for entry in report:
        kind = Path(entry["path"]).name.split(".", 1)[1]
        ok, total = by_kind.get(kind, (0, 0))
        by_kind[kind] = (ok + (entry["result"] > 0), total + 1)
    return by_kind


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=3, help="timed runs of each tool (median taken)")
    parser.add_argument("--corpus", type=Path, default=ROOT / "build" / "bench-probe-corpus")
    args = parser.parse_args()

    for tool in ("ffmpeg", "ffprobe", "mediainfo"):
        if not shutil.which(tool):
            sys.exit(f"bench: {tool} is not installed (./run installs it)")
    zelvora = build_zelvora()
    files = make_corpus(args.corpus)
    names = [str(p) for p in files]
    total_bytes = sum(p.stat().st_size for p in files)

    by_kind = recognised(zelvora, files)
    # One untimed pass of each tool, so every run reads from the page cache.
    zelvora_run = [[str(zelvora), "probe", "--json", *names]]
    zelvora_each = [[str(zelvora), "probe", "--json", n] for n in names]
    ffprobe_run = [["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", n] for n in names]
    mediainfo_run = [["mediainfo", "--Output=JSON", *names]]
    for run in (zelvora_run, mediainfo_run):
        timed(run)

    results = {
        "zelvora probe --json (one process)": median_time(zelvora_run, args.runs),
        "zelvora probe --json (one process per file)": median_time(zelvora_each, args.runs),
        "ffprobe (one process per file)": median_time(ffprobe_run, args.runs),
        "mediainfo --Output=JSON (one process)": median_time(mediainfo_run, args.runs),
    }

    # Per kind: the probe's time per file, the kinds side by side, and ffprobe's on the same files.
    kinds = {}
    for kind in KINDS:
        own = [str(p) for p in files if p.name.split(".", 1)[1] == kind]
        probe = median_time([[str(zelvora), "probe", "--json", *(own * KIND_REPEATS)]], args.runs)
        peer = median_time([["ffprobe", "-v", "error", "-show_format", "-show_streams", "-of", "json", n] for n in own],
                           args.runs)
        kinds[kind] = (probe / (len(own) * KIND_REPEATS), peer / len(own))

    print(f"corpus: {len(files)} files, {total_bytes / 1e6:.1f} MB, {len(KINDS)} kinds ({args.corpus})")
    print("recognised by zelvora: " + ", ".join(f"{k} {ok}/{n}" for k, (ok, n) in sorted(by_kind.items())))
    print(f"median of {args.runs} runs:")
    base = results["zelvora probe --json (one process)"]
    for name, seconds in results.items():
        rate = len(files) / seconds if seconds > 0 else float("inf")
        print(f"  {name:45s} {seconds:8.3f} s  {rate:10.0f} files/s  {seconds / base:8.1f}× zelvora's time")
    typical = statistics.median(own for own, _ in kinds.values())
    print(f"per kind (zelvora: {KIND_REPEATS}× each file in one process; ffprobe: one process per file):")
    for kind, (own, peer) in kinds.items():
        print(f"  {kind:8s} zelvora {own * 1e6:8.0f} µs/file ({own / typical:4.2f}× the median kind)"
              f"  ffprobe {peer * 1e3:7.1f} ms/file ({peer / own:6.0f}× zelvora's time)")


if __name__ == "__main__":
    main()
