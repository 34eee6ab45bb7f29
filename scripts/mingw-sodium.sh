#!/usr/bin/env bash
# Builds libsodium for 64-bit Windows from Debian's source package with the MinGW-w64 tools, as
# a static library below PREFIX (include/, lib/). Nothing is done when PREFIX holds it already.
#   scripts/mingw-sodium.sh PREFIX        (scripts/test-windows.sh runs this)
set -euo pipefail
prefix=${1:?usage: mingw-sodium.sh PREFIX}
if [ -f "$prefix/lib/libsodium.a" ] && [ -f "$prefix/include/sodium.h" ]; then exit 0; fi
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
# Debian's source packages come from the same archive as its binaries.
if ! apt-get source --print-uris -q libsodium >/dev/null 2>&1; then
  echo "mingw-sodium: adding Debian's source lines to apt" >&2
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' |
    $sudo tee /etc/apt/sources.list.d/zelvora-deb-src.sources >/dev/null
  for attempt in 1 2 3 4 5; do $sudo apt-get update -q >&2 && break; sleep 20; done
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/zelvora-sodium-XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -q libsodium >&2)
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d -name 'libsodium-*' | head -n1)
[ -n "$src" ] || { echo "mingw-sodium: no libsodium source unpacked" >&2; exit 1; }
mkdir -p "$prefix"
cd "$src"
# Debian's source is the upstream tree without a generated configure.
[ -x configure ] || ./autogen.sh -s >&2
# Only what the program uses (signatures, hashes, base64) is needed: the minimal build has it.
./configure -q --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix --prefix="$(cd "$prefix" && pwd)" \
  --disable-shared --enable-static --enable-minimal --disable-dependency-tracking >&2
make -s -j"$(nproc)" >&2
make -s install >&2
echo "mingw-sodium: libsodium for Windows in $prefix" >&2
