#!/usr/bin/env bash
# Redraws the skin images into ui/skin/ from drawskin.cpp and lists them in ui/skin.qrc.
# Usage: scripts/skin/redraw.sh [BUILD_DIR]   (default build/skin; Qt 6 from scripts/setup.sh)
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$root/build/skin}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target zelvora_drawskin
QT_QPA_PLATFORM=offscreen "$build/ui/zelvora_drawskin" "$root/ui/skin"
{
  echo '<RCC>'
  echo '  <qresource prefix="/skin">'
  (cd "$root/ui/skin" && ls *.png | LC_ALL=C sort | sed 's|.*|    <file alias="&">skin/&</file>|')
  echo '  </qresource>'
  echo '</RCC>'
} > "$root/ui/skin.qrc"
echo "redraw: $(ls "$root/ui/skin"/*.png | wc -l) images in ui/skin"
