#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# `setup.sh --fuzz` adds clang and its fuzzer runtime for the fuzz targets; `--windows` the
# MinGW-w64 cross tools and Wine.
set -euo pipefail
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev zlib1g-dev libmspack-dev gcab zip
          ffmpeg mencoder mediainfo fonts-nanum fontconfig python3 stress-ng
          qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
          dpkg-dev file desktop-file-utils appstream lintian bash-completion minisign
          libsodium-dev parallel openssh-client openssh-server xvfb xdotool qt6-qpa-plugins)
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
# The ssh tests run an sshd of their own on loopback. The system's ssh service that the package
# would start (and start at every boot) opens a port to the network, which nothing here asks for:
# when this script installs the package, that service is neither started nor enabled.
policy=/usr/sbin/policy-rc.d
made_policy=no
if [[ " ${missing[*]} " == *" openssh-server "* ]] && [ ! -e $policy ]; then
  printf '#!/bin/sh\n[ "$1" = ssh ] && exit 101\nexit 0\n' | $sudo tee $policy >/dev/null
  $sudo chmod 755 $policy
  made_policy=yes
fi
status=0
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 || status=$?
if [ $made_policy = yes ]; then
  $sudo rm -f $policy
  if [ -d /run/systemd/system ]; then
    for unit in ssh.socket ssh.service; do $sudo systemctl disable --now $unit >/dev/null 2>&1 || true; done
  elif command -v update-rc.d >/dev/null; then
    $sudo update-rc.d ssh disable >/dev/null 2>&1 || true
  fi
  echo "setup: the system's ssh service is installed but neither started nor enabled" >&2
fi
exit $status
