#!/usr/bin/env bash
# The demo: builds a small sample library of our own, exports it to a
# folder standing in for the drive, exports again (nothing left to copy),
# then exports the library after one playlist was deleted, so that the
# stale files are listed and removed.
# Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
here="$(cd "$(dirname "$0")/.." && pwd)"
tessaline="$build/src/tessaline"
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo/drive"
python3 "$here/scripts/make_sample_library.py" "$demo/library"

if [ -t 1 ] && [ -z "${NO_COLOR:-}" ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
step() { printf '\n%s== %s%s\n$ %s\n' "$bold" "$1" "$plain" "${*:2}"; "${@:2}"; }

if "$tessaline" drives --help >/dev/null 2>&1 && [ -d "$here/resources/fake-hardware/tessaline-drive" ]; then
  # The fake drive's choice is remembered in the demo's own folder, not in
  # the user's preferences.
  step "The drives the exporter sees (a fake Tessaline drive)" \
    env XDG_CONFIG_HOME="$demo/config" "$tessaline" --fake-hardware "$here/resources/fake-hardware/tessaline-drive" drives
fi
step "First export: everything is copied" \
  "$tessaline" export --library "$demo/library/Library.xml" --to "$demo/drive" --yes
step "Second export: nothing left to copy" \
  "$tessaline" export --library "$demo/library/Library.xml" --to "$demo/drive" --yes
# A recording of the user's own, put on the drive by hand: stale for the
# exporter, but not its to delete.
mkdir -p "$demo/drive/Music/My Recordings"
printf 'RIFF' > "$demo/drive/Music/My Recordings/voice memo.wav"
step "The playlist \"Sunday\" was deleted in the library: its file and track are stale" \
  "$tessaline" export --library "$demo/library/Library-fewer.xml" --to "$demo/drive" --yes
printf '\n== The drive now holds\n'
(cd "$demo/drive" && find . -type f | LC_ALL=C sort)
printf '\n== Playlists/Road Trip.m3u8\n'
cat "$demo/drive/Playlists/Road Trip.m3u8"
echo

# The window, pictured under a virtual X server when one is installed.
if command -v xvfb-run >/dev/null 2>&1; then
  printf '\n== The window (tessaline gui), pictured under Xvfb\n'
  # Into the build folder: the demo leaves the checkout as it found it
  # (docs/window.png is the picture the README shows).
  "$here/scripts/window_screenshot.sh" "$build" "$build/window.png"
fi
