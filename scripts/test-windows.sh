#!/usr/bin/env bash
# The Windows build: cross-builds the core, the zelvora command, the update server and their tests
# for 64-bit Windows with Debian's MinGW-w64, runs the tests under Wine in a private prefix, and
# checks that zelvora.exe probe prints the same JSON as the Linux build on the same files.
#   scripts/test-windows.sh [ctest options…]      (./test --windows does this)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Setup installs every tool the tests use, so a missing one fails the test (0 allows skips).
export ZELVORA_REQUIRE_TOOLS=${ZELVORA_REQUIRE_TOOLS:-1}
"$root/scripts/setup.sh" --windows
# libsodium for Windows, built once into the build tree and kept there.
"$root/scripts/mingw-sodium.sh" "$root/build/windows/sodium"
"$root/scripts/build.sh" build/windows -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/MinGW-w64-x86_64.cmake"

# A prefix of our own under the build folder: nothing of the user's Wine is read or changed.
# No Mono or Gecko is wanted (console programs only), so Wine never offers to download them.
export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "test-windows: preparing the Wine prefix $WINEPREFIX" >&2
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w
fi
[ -f "$WINEPREFIX/system.reg" ] || { echo "test-windows: wineboot made no prefix in $WINEPREFIX" >&2; exit 1; }
# One Wine server for the whole run rather than one started and stopped per test program.
wineserver -p 2>/dev/null || true  # a server of this prefix may be up already
trap 'wineserver -k 2>/dev/null || true' EXIT
# The prefix's own services start with the first Windows program and live as long as the
# server, holding that program's standard handles: started here on /dev/null, so that they do
# not keep a test's output pipe open and leave ctest waiting for it until the timeout.
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

cd "$root/build/windows"
ctest --output-on-failure -j "$(nproc)" --timeout 900 "$@"
[ $# -eq 0 ] || exit 0

# The same files through both builds: what the probe reads must not depend on the system.
linux="$root/build/asan/cli/zelvora"
media="$root/../shared/media/realworld"
[ -f "$root/build/windows/cli/zelvora.exe" ] || {
  echo "test-windows: FAILED: the Windows build made no zelvora.exe" >&2
  exit 1
}
# The Linux command to compare with: the tree ./test builds, configured and built (that one
# program only) when this runs first on a fresh machine.
if [ ! -x "$linux" ]; then
  echo "test-windows: building the Linux zelvora in build/asan to compare with" >&2
  if [ ! -f "$root/build/asan/build.ninja" ]; then
    "$root/scripts/setup.sh"
    cmake -S "$root" -B "$root/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELVORA_SANITIZE=ON >&2
  fi
  cmake --build "$root/build/asan" --target zelvora >&2
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/zelvora-windows-probe-XXXXXX")
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
files=()
if [ -d "$media" ]; then
  for f in "$media"/*; do
    case "$f" in *.json) continue ;; esac
    files+=("$f")
  done
fi
# Media made here as well, one of them under a Korean name, so the check never runs on nothing.
ffmpeg -nostdin -loglevel error -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i sine=frequency=440 \
  -t 2 -c:v mpeg4 -c:a mp3 -shortest "$work/clip.avi"
cp "$work/clip.avi" "$work/한글 이름의 동영상.avi"
ffmpeg -nostdin -loglevel error -i "$work/clip.avi" -c:v libx264 -c:a aac "$work/clip.mp4"
ffmpeg -nostdin -loglevel error -i "$work/clip.avi" -c copy "$work/clip.mkv"
files+=("$work/clip.avi" "$work/한글 이름의 동영상.avi" "$work/clip.mp4" "$work/clip.mkv")
failed=0
for f in "${files[@]}"; do
  "$linux" probe --json "$f" >"$work/linux.json" 2>/dev/null || true
  # Wine sees the Linux root as drive Z:, so the file goes in by that name.
  winpath="Z:${f//\//\\}"
  wine "$root/build/windows/cli/zelvora.exe" probe --json "$winpath" 2>/dev/null | tr -d '\r' >"$work/windows.json" || true
  # Paths come back in Windows spelling (Z:\work\…); spelled back, everything must be the same.
  if ! python3 - "$work/linux.json" "$work/windows.json" >"$work/diff" 2>&1 <<'PY'
import json, sys
def unwin(v):
    if isinstance(v, str) and v[:2] in ("Z:", "z:"):
        return v[2:].replace("\\", "/")
    if isinstance(v, list):
        return [unwin(x) for x in v]
    if isinstance(v, dict):
        return {k: unwin(x) for k, x in v.items()}
    return v
linux = json.load(open(sys.argv[1]))
windows = unwin(json.load(open(sys.argv[2])))
if linux != windows:
    print("linux:  ", json.dumps(linux, ensure_ascii=False))
    print("windows:", json.dumps(windows, ensure_ascii=False))
    sys.exit(1)
PY
  then
    echo "test-windows: probe differs on $f:"
    sed 's/^/    /' "$work/diff" | cut -c1-600
    failed=1
  fi
done
if [ $failed -eq 0 ]; then
  echo "test-windows: zelvora.exe probe and the Linux zelvora probe agree on ${#files[@]} files"
fi
exit $failed
