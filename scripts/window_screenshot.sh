#!/usr/bin/env bash
# A picture of the exporter's window (`tessaline gui`) on the sample
# library and the shipped fake Tessaline drive, one playlist already on
# the drive, taken under a virtual X server; and beside it OUT-first-start.png,
# the window's first start, before any library is known. The work folder
# stands in for the home folder, so that no machine path shows.
# Usage: scripts/window_screenshot.sh BUILD_DIR OUT.png
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
out="${2:-docs/window.png}"
here="$(cd "$(dirname "$0")/.." && pwd)"
tessaline="$build/src/tessaline"
work="$build/window-shot"
rm -rf "$work"
volume="$work/mounts/media/alex/TESSA MUSIC"
mkdir -p "$volume" "$work/config"
python3 "$here/scripts/make_sample_library.py" "$work/library" >/dev/null
# The fake drive's volumes are mounted nowhere: a folder stands for the
# root, and the disk tool is this program's own.
printf '#!/bin/sh\nexec "%s" diskutil "$@"\n' "$tessaline" > "$work/diskutil"
chmod +x "$work/diskutil"
export HOME="$work" XDG_CONFIG_HOME="$work/config" TESSALINE_FAKE_MOUNTS="$work/mounts" TESSALINE_DISKUTIL="$work/diskutil"
fake=(--fake-hardware "$here/resources/fake-hardware/tessaline-drive")
"$tessaline" "${fake[@]}" export --library "$work/library/Library.xml" --playlist "Road Trip" --yes >/dev/null
mkdir -p "$(dirname "$out")"
xvfb-run -a -s "-screen 0 1280x900x24" \
  "$tessaline" "${fake[@]}" gui --library "$work/library/Library.xml" --screenshot "$out" 2>/dev/null
first="${out%.png}-first-start.png"
rm -rf "$work/config"
HOME="$work/nobody" xvfb-run -a -s "-screen 0 1280x900x24" \
  "$tessaline" gui --screenshot "$first" 2>/dev/null
echo "Wrote $out and $first"
