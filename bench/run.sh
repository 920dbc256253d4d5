#!/bin/sh
# Benchmarks of the launcher and sfxpack; prints a table, writes JSON.
#
#   bench/run.sh [BUILD_DIR] [--scale full|small] [--runs N] [--only SECTIONS]
#
# BUILD_DIR defaults to build-bench next to this folder; it is configured
# (Release) and built when needed.  The full scale (default) takes about
# half an hour on two shared cores; --scale small takes a few minutes.
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

# What the benchmarks need beyond the build: the NSIS compiler for the
# peer installer and GNU time for peak memory.
"$root/tools/install-deps.sh"
missing=""
command -v makensis >/dev/null 2>&1 || missing="$missing nsis"
[ -x /usr/bin/time ] || missing="$missing time"
if [ -n "$missing" ]; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    echo "bench: installing$missing" >&2
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

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
