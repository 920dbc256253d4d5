#!/bin/sh
# Regenerates res/app.ico from the artwork in res/icon/artwork.py.  Needs
# only python3; the build uses the committed app.ico and never runs this.
#   res/icon/make-icon.sh [PREVIEW_DIR]   (PREVIEW_DIR: also write PNGs)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -ge 1 ]; then
    python3 "$here/artwork.py" "$here/../app.ico" --png "$1"
else
    python3 "$here/artwork.py" "$here/../app.ico"
fi
