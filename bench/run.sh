#!/bin/sh
# Benchmarks of the launcher and sfxpack; prints a table, writes JSON.
#
#   bench/run.sh [BUILD_DIR] [--scale full|small] [--runs N] [--only SECTIONS]
#
# BUILD_DIR defaults to build-bench next to this folder; it is configured
# (Release) and built when needed.  The options go to bench.py, which says
# what they default to and where the JSON goes.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build="$root/build-bench"
case "${1:-}" in
    ""|-*) ;;
    *) build=$1; shift ;;
esac

# What the benchmarks need beyond the build: the NSIS compiler for the
# peer installer and GNU time for peak memory.
"$root/tools/install-deps.sh" nsis time

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 >/dev/null

exec python3 "$here/bench.py" "$build" "$@"
