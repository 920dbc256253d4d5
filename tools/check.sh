#!/bin/sh
# Builds everything and runs every test.  Installs what is missing first.
#   tools/check.sh [BUILD_DIR]          (default: build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/tools/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2
cd "$build"
ctest --output-on-failure -j2 --timeout 600
