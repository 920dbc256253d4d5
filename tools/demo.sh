#!/bin/sh
# Builds everything, packs a sample installer with sfxpack and runs the
# container under Wine in Xvfb, showing what the launcher did; takes a
# picture of the progress dialog into BUILD_DIR/progress-dialog.png.
#   tools/demo.sh [BUILD_DIR]          (default: build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

# ImageMagick takes the picture of the progress dialog.
"$root/tools/install-deps.sh" imagemagick
"$root/tools/build.sh" "$build"
exec python3 "$root/tools/demo.py" "$build"
