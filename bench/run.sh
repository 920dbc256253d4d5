#!/bin/sh
# Benchmarks of the launcher and sfxpack; prints a table, writes JSON.
#
#   bench/run.sh [BUILD_DIR] [--scale full|small] [--runs N] [--only SECTIONS]
#
# BUILD_DIR defaults to build-bench next to this folder; it is configured
# (Release) and built when needed.  The full scale (default) takes about
# 20 minutes on two cores; --scale small takes about five.
# JSON goes to BUILD_DIR/bench/latest-SCALE.json; a full-scale run of all
# sections also replaces bench/results/latest.json.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="$root/build-bench"
case "${1:-}" in
    ""|-*) ;;
    *) build=$1; shift ;;
esac
scale=full
only=all
prev=
for a in "$@"; do
    [ "$prev" = "--scale" ] && scale=$a
    [ "$prev" = "--only" ] && only=$a
    prev=$a
done

for tool in makensis i686-w64-mingw32-gcc wine Xvfb; do
    command -v "$tool" >/dev/null 2>&1 && continue
    echo "bench: $tool is missing: run tools/install-deps.sh and apt-get install nsis" >&2
    exit 1
done

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 >/dev/null

json="$build/bench/latest-$scale.json"
if [ "$only" = all ]; then
    python3 "$here/bench.py" "$build" --scale "$scale" --json "$json" "$@"
else
    python3 "$here/bench.py" "$build" --json "$json" "$@"
fi
if [ "$scale" = full ] && [ "$only" = all ]; then
    mkdir -p "$here/results"
    cp "$json" "$here/results/latest.json"
    echo "bench: results in $here/results/latest.json" >&2
fi
