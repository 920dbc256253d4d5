#!/bin/sh
# Builds everything and runs every test.  Installs what is missing first.
#   tools/check.sh [BUILD_DIR]          (default: build)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}

"$root/tools/build.sh" "$build"
cd "$build"
ctest --output-on-failure -j2 --timeout 900
