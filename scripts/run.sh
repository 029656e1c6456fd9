#!/usr/bin/env bash
# Installs what is missing, builds, and starts Lombkalauz in the directory this command was run from.
# The program writes its lexicon database there ("L_Data.vdbd") and deletes it at exit.
set -euo pipefail
here="$(pwd)"
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" default lombkalauz vdb
cd "$here"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting on Qt's offscreen platform (set DISPLAY to see the window)." >&2
  export QT_QPA_PLATFORM=offscreen
fi
exec "$root/build/default/bin/lombkalauz" "$@"
