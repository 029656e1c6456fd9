#!/usr/bin/env bash
# Renders the window (the three pages, a search result and the detail window) to PNG files
# under build/screenshots/, on Qt's offscreen platform. Usage: scripts/screenshots.sh [DIR]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/build/screenshots}"
"$root/scripts/build.sh" default lombkalauz_screenshots
QT_QPA_PLATFORM=offscreen "$root/build/default/bin/lombkalauz_screenshots" "$out"
