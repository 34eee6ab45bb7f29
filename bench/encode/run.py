#!/usr/bin/env python3
"""Overhead of `zelvora encode` against running the same ffmpeg command lines one after another
(at the same below-normal priority that zelvora gives its encoder).

Makes five clips that each take a few seconds to encode, asks `zelvora encode --dry-run` for the
command lines it would run, then times, in one run: the plain command lines back to back, and
`zelvora encode` over the same files (with the same settings). Prints both times and the ratio.
Usage: bench/encode/run.py [--clips N] [--seconds S]   (builds the release tree first via ./run's build)
"""
import argparse, os, shlex, shutil, subprocess, sys, tempfile, time

root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def build():
    subprocess.run([os.path.join(root, "scripts", "setup.sh")], check=True)
    subprocess.run([os.path.join(root, "scripts", "build.sh"), "build/release",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DZELVORA_TESTS=OFF"], check=True)
    return os.path.join(root, "build", "release", "cli", "zelvora")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--clips", type=int, default=5)
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=2,
                    help="rounds of both runs, in alternating order, so that load changes hit both alike")
    args = ap.parse_args()
    zelvora = build()
    work = tempfile.mkdtemp(prefix="zelvora-bench-encode-")
    env = dict(os.environ)
    # A private settings store and home, so the benchmark neither reads nor changes the user's.
    for var, sub in (("HOME", ""), ("XDG_CONFIG_HOME", ".config"), ("XDG_STATE_HOME", ".state"),
                     ("XDG_CACHE_HOME", ".cache"), ("XDG_DATA_HOME", ".data")):
        env[var] = os.path.join(work, "home", sub)
        os.makedirs(env[var], exist_ok=True)
    try:
        clips = []
        for i in range(args.clips):
            path = os.path.join(work, f"clip{i}.mp4")
            subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
                            f"testsrc2=size=640x480:rate=25:duration={args.seconds}", "-f", "lavfi", "-i",
                            f"sine=frequency={300 + 50 * i}:duration={args.seconds}", "-c:v", "mpeg4", "-q:v", "4",
                            "-c:a", "aac", "-shortest", path], check=True)
            clips.append(path)
        out_plain = os.path.join(work, "plain")
        out_zel = os.path.join(work, "zelvora")
        os.makedirs(out_plain)
        os.makedirs(out_zel)
        dry = subprocess.run([zelvora, "encode", "--dry-run", "--output-dir", out_plain] + clips, env=env,
                             capture_output=True, text=True, check=True)
        commands = [shlex.split(line) for line in dry.stdout.splitlines() if line and not line.startswith("#")]
        if len(commands) != len(clips):
            sys.exit(f"expected {len(clips)} command lines, got: {dry.stdout}")

        def run_plain():
            start = time.monotonic()
            for argv in commands:
                # zelvora starts its encoder at below-normal priority (nice +10); the plain run
                # gets the same, so that other load on the machine weighs on both alike.
                subprocess.run(["nice", "-n", "10"] + argv, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, check=True)
            return time.monotonic() - start

        def run_ours():
            start = time.monotonic()
            run = subprocess.run([zelvora, "encode", "--output-dir", out_zel] + clips, env=env,
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            took = time.monotonic() - start
            if run.returncode != 0:
                sys.exit(f"zelvora encode failed:\n{run.stdout}")
            return took

        plain = ours = 0.0
        for r in range(args.rounds):
            if r % 2 == 0:
                plain += run_plain()
                ours += run_ours()
            else:
                ours += run_ours()
                plain += run_plain()

        print(f"clips: {len(clips)} x {args.seconds} s 640x480 mpeg4+aac -> stored settings")
        print(f"rounds: {args.rounds} (alternating order)")
        print(f"plain ffmpeg command lines: {plain:8.2f} s ({plain / len(clips) / args.rounds:.2f} s per file)")
        print(f"zelvora encode:             {ours:8.2f} s")
        print(f"ratio zelvora/plain:        {ours / plain:8.3f}  (target <= 1.05)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
