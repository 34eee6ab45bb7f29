#!/usr/bin/env bash
# Builds the Debian package from a release build and checks it as an installed copy:
#   - it unpacks with dpkg -x, its programs start (--version) from the unpacked root;
#   - its Depends name what the programs need: the package of every shared library they load
#     (or a package those depend on), ffmpeg, the Qt platform plugins and a font with Hangul;
#   - the bash completion is installed and completes, the desktop entry and the AppStream
#     metadata validate, lintian reports no errors;
#   - from the unpacked root, with that root read only and left unchanged: the desktop program
#     starts for real off screen and draws a probed clip, a conversion runs, and the update
#     server answers a client.
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

# What Depends names, one package a line (alternatives too), and what those depend on directly.
named=$(dpkg-deb --field "$deb" Depends | tr ',|' '\n\n' | sed 's/^ *//; s/[ (:].*//' | grep -v '^$' | sort -u)
reachable=$( (echo "$named"; for p in $named; do dpkg-query -W -f '${Depends},${Pre-Depends}\n' "$p" 2>/dev/null || true; done) |
  tr ',|' '\n\n' | sed 's/^ *//; s/[ (:].*//' | grep -v '^$' | sort -u)
# Here-strings, not pipes into grep -q: under pipefail, grep quitting at its first match can
# kill the writer with SIGPIPE and turn a found line into a failure.
names() { grep -qx "$1" <<<"$named"; }
# Every shared library a program loads comes with a package that Depends brings.
owner_of() {  # owner_of FILE: the package that installed FILE (under its own or its resolved name)
  local found
  found=$(dpkg -S "$1" 2>/dev/null || dpkg -S "$(readlink -f "$1")" 2>/dev/null || true)
  head -1 <<<"$found" | cut -d: -f1
}
for program in $programs; do
  resolved=$(ldd "$unpacked/usr/bin/$program")
  for lib in $(objdump -p "$unpacked/usr/bin/$program" | awk '$1 == "NEEDED" {print $2}'); do
    # "lib => /path (address)", or for the dynamic loader "/path (address)".
    path=$(awk -v lib="$lib" '$1 == lib && $2 == "=>" {print $3} index($1, "/" lib) {print $1}' <<<"$resolved" |
      sed -n 1p)
    owner=""
    [ -z "$path" ] || owner=$(owner_of "$path")
    [ -n "$owner" ] || fail "$program needs $lib, which no installed package provides"
    grep -qx "$owner" <<<"$reachable" || fail "$program needs $lib of $owner, which Depends does not bring"
  done
done
names ffmpeg || fail "Depends does not name ffmpeg, the encoder"
if [[ " $(echo $programs) " == *" zelvora-gui "* ]]; then
  qpa=no font=no
  for p in $named; do
    files=$(dpkg -L "$p" 2>/dev/null || true)
    grep -q '/qt6/plugins/platforms/libqxcb\.so$' <<<"$files" && qpa=yes
    for f in $(grep -E '\.(ttf|ttc|otf)$' <<<"$files" | head -5); do
      langs=$(fc-query --format '%{lang}\n' "$f" 2>/dev/null | tr '|' '\n' || true)
      grep -qx ko <<<"$langs" && font=yes
    done
  done
  [ $qpa = yes ] || fail "no package of Depends brings the Qt platform plugins"
  [ $font = yes ] || fail "no package of Depends brings a font with Hangul"
fi

# The completion file is where bash-completion loads it from, and completes the commands.
completion=$unpacked/usr/share/bash-completion/completions/zelvora
[ -f "$completion" ] || fail "no bash completion at /usr/share/bash-completion/completions/zelvora"
words=$(bash -c 'source /usr/share/bash-completion/bash_completion; source "$1"
  COMP_WORDS=(zelvora ""); COMP_CWORD=1; COMP_LINE="zelvora "; COMP_POINT=8
  f=$(complete -p zelvora | sed "s/.*-F \([^ ]*\).*/\1/"); "$f" zelvora "" zelvora; echo "${COMPREPLY[*]}"' bash "$completion" 2>&1)
for word in settings probe encode; do
  [[ " $words " == *" $word "* ]] || fail "the completion does not offer '$word' (it offers: $words)"
done

desktop-file-validate "$unpacked"/usr/share/applications/*.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net "$unpacked"/usr/share/metainfo/*.metainfo.xml >&2 || fail "appstreamcli validate"
for size in 16 22 24 32 48 64 128 256; do
  icon=$unpacked/usr/share/icons/hicolor/${size}x${size}/apps/zelvora.png
  grep -q "PNG image data, $size x $size" <<<"$(file "$icon")" || fail "icon $icon"
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
if [ -x "$unpacked/usr/bin/zelvora-gui" ]; then
  # The desktop program for real, off screen: Qt loads its platform plugin and fonts, the window
  # probes the clip and draws its row. A Qt library or plugin the system lacks ends it here.
  (
    cd "$work"
    export HOME=$home XDG_CONFIG_HOME=$home/config XDG_CACHE_HOME=$home/cache XDG_STATE_HOME=$home/state \
      XDG_DATA_HOME=$home/data XDG_RUNTIME_DIR=$work TMPDIR=$work QT_QPA_PLATFORM=offscreen
    timeout 300 "$unpacked/usr/bin/zelvora-gui" --screenshot "$work/probed.png" --scene probed "$work/in/clip.avi"
  ) >&2 || fail "zelvora-gui --screenshot --scene probed from the unpacked root"
  file "$work/probed.png" | grep -Eq 'PNG image data, [0-9]{3,} x [0-9]{3,}' || fail "zelvora-gui drew no window: $(file "$work/probed.png")"
  echo "package-test: zelvora-gui drew $(file -b "$work/probed.png")" >&2
fi
if [ -x "$unpacked/usr/bin/zelvora-update-server" ]; then
  # The update server from the unpacked root answers a client asking for a section.
  mkdir -p "$work/updates/zelvora_enc/files"
  echo abc >"$work/updates/zelvora_enc/files/a"
  printf 'C\tM\t\ta\n' >"$work/updates/zelvora_enc/manifest.tsv"
  python3 - "$unpacked/usr/bin/zelvora-update-server" "$work/updates" <<'PY' >&2 || fail "the update server did not answer"
import select, socket, struct, subprocess, sys
server = subprocess.Popen([sys.argv[1], "--root", sys.argv[2], "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE)
try:
    if not select.select([server.stdout], [], [], 60)[0]:
        sys.exit("the server said nothing within a minute")
    line = server.stdout.readline().decode()
    if not line.startswith("listening on 127.0.0.1:"):
        sys.exit("unexpected first line: " + line)
    port = int(line.rsplit(":", 1)[1])
    # A client block: marker, terminator, payload length, payload, zeros up to 256 bytes.
    payload = b"zelvora_enc"
    request = b"_GSECTN:" + b"\0" + struct.pack("<I", len(payload)) + payload
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        s.sendall(request.ljust(256, b"\0"))
        reply = b""
        while len(reply) < 32768:
            chunk = s.recv(32768 - len(reply))
            if not chunk:
                break
            reply += chunk
    # A list, or (the section being unsigned here) the protocol's refusal: either is a whole
    # server block, which is what shows the server runs and speaks from the unpacked root.
    if len(reply) != 32768 or reply[:8] not in (b"_PFLIST:", b"_PERMSG:"):
        sys.exit("the server answered %r instead of a list or a refusal" % reply[:16])
    print("package-test: the update server answered with a %s block" % reply[:8].decode())
finally:
    server.terminate()
    server.wait(60)
PY
fi
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
