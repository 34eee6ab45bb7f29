#!/usr/bin/env bash
# Builds the Debian package from a release build and checks it as an installed copy:
#   - it unpacks with dpkg -x, its programs start (--version) from the unpacked root;
#   - the desktop entry and the AppStream metadata validate, lintian reports no errors;
#   - a conversion run from the unpacked root, with that root read only, changes nothing in it.
# package-test.sh [BUILD_DIR]   (default build/release; configured on first use)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build/release}
case $build in /*) ;; *) build=$root/$build ;; esac

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELVORA_TESTS=OFF "${launcher[@]}" >&2
fi
cmake --build "$build" >&2
rm -f "$build"/zelvora_*.deb
(cd "$build" && cpack -G DEB >&2)
deb=$(ls "$build"/zelvora_*.deb)
echo "package-test: built $deb" >&2

work=$(mktemp -d)
cleanup() {
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}

unpacked=$work/root
dpkg -x "$deb" "$unpacked"
dpkg-deb --field "$deb" Depends Suggests >&2

# Every program in the package starts from the unpacked root and says its version.
programs=$(cd "$unpacked/usr/bin" && ls)
[[ " $(echo $programs) " == *" zelvora "* ]] || fail "zelvora is not in the package"
for program in $programs; do
  case $program in
    zelvora-gui) out=$(QT_QPA_PLATFORM=offscreen "$unpacked/usr/bin/$program" --version) ;;
    *) out=$("$unpacked/usr/bin/$program" --version) ;;
  esac || fail "$program --version"
  [ -n "$out" ] || fail "$program --version printed nothing"
  echo "package-test: $program --version: $out" >&2
done

desktop-file-validate "$unpacked"/usr/share/applications/*.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml >&2 || fail "appstreamcli validate"
for size in 16 22 24 32 48 64 128 256; do
  icon=$unpacked/usr/share/icons/hicolor/${size}x${size}/apps/zelvora.png
  file "$icon" | grep -q "PNG image data, $size x $size" || fail "icon $icon"
done

# A conversion from the read-only unpacked root. Tests run as root, whom chmod does not stop,
# so the check is that the tree's names, modes and contents are the same before and after.
home=$work/home
mkdir -p "$home/config" "$home/cache" "$home/state" "$home/data" "$home/Desktop" "$work/in" "$work/out"
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc=size=160x120:rate=25:duration=1 \
  -f lavfi -i sine=duration=1 -c:v mpeg4 -c:a libmp3lame -shortest "$work/in/clip.avi"
snapshot() {
  (cd "$unpacked" && find . -printf '%p %y %m %s\n' | LC_ALL=C sort && find . -type f -print0 | LC_ALL=C sort -z |
    xargs -0 sha256sum)
}
chmod -R a-w "$unpacked"
before=$(snapshot)
(
  cd "$work"
  export HOME=$home XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache XDG_STATE_HOME=$home/state \
    XDG_DATA_HOME=$home/data TMPDIR=$work
  "$unpacked/usr/bin/zelvora" encode --output-dir "$work/out" --manifest "$work/manifest.jsonl" "$work/in/clip.avi"
) >&2 || fail "conversion from the unpacked root"
after=$(snapshot)
[ "$before" = "$after" ] || {
  diff <(echo "$before") <(echo "$after") >&2 || true
  fail "the conversion changed the program's folder"
}
[ -s "$work/out/_ZLVR_clip.mp4" ] || fail "no output file"
grep -q '"status":"done"' "$work/manifest.jsonl" || fail "manifest has no done line"

# lintian: errors fail the test; warnings are shown.
if [ "$(id -u)" -eq 0 ]; then lintian_user=(--allow-root); else lintian_user=(); fi
lintian "${lintian_user[@]}" --fail-on error --tag-display-limit 0 "$deb" >&2 || fail "lintian reports errors"
echo "package-test: ok" >&2
