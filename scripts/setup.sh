#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# `setup.sh --fuzz` adds clang and its fuzzer runtime for the fuzz targets; `--windows` the
# MinGW-w64 cross tools and Wine.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev zlib1g-dev libmspack-dev gcab zip
          ffmpeg mencoder mediainfo fonts-nanum fontconfig python3 stress-ng
          qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
          dpkg-dev file desktop-file-utils appstream lintian bash-completion minisign
          libsodium-dev parallel openssh-client openssh-server)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi
if [ "${1:-}" = "--windows" ]; then
  # The Windows build: MinGW-w64 with POSIX threads, zlib built for it, Wine to run the tests,
  # and the tools that build libsodium for it from Debian's source (scripts/mingw-sodium.sh).
  packages+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 autoconf automake libtool make)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q >&2
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
