#!/bin/sh
# Installs what is missing and builds everything into BUILD_DIR.
#   tools/build.sh [BUILD_DIR]         (default: build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2
