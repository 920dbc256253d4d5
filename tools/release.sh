#!/bin/sh
# Builds a release from this checkout and writes into OUT_DIR (default: dist):
#   sfxpack_<version>_<arch>.deb       sfxpack for Debian (CPack), checked by lintian
#   sfxpack-<version>-windows-x86.zip  the static sfxpack.exe (stripped), launcher.exe,
#                                      the manual as text, README and LICENSE
#   sfx-<version>.tar.gz               the source of the last commit (git archive)
#   SHA256SUMS                         over the three
#
#   tools/release.sh [OUT_DIR]
#
# The version is the CMake project's.  Every time stamp is the last
# commit's (SOURCE_DATE_EPOCH, unless set), so two runs from the same
# commit write the same bytes.  The Release build goes to
# $SFX_RELEASE_BUILD (default: build-release in the checkout); it builds
# sfxpack and the launcher, not the tests.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/dist}
build=${SFX_RELEASE_BUILD:-$root/build-release}

"$root/tools/install-deps.sh"

# What packing and checking the packages take, installed if missing.
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
need=""
for pkg in git dpkg-dev file lintian mandoc bsdextrautils zip; do
    have "$pkg" || need="$need $pkg"
done
if [ -n "$need" ]; then
    echo "release: installing$need" >&2
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get update -qq || echo "release: apt-get update failed; going on with the package lists apt has" >&2
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "release: warning: the checkout has uncommitted changes; the packages are built from them," \
         "the source tarball holds the last commit" >&2
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSFX_TESTS=OFF >/dev/null
cmake --build "$build" -j2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
if [ -z "$version" ]; then
    echo "release: no project version in $build/CMakeCache.txt" >&2
    exit 1
fi

deb=sfxpack_${version}_$(dpkg --print-architecture).deb
zip=sfxpack-${version}-windows-x86.zip
src=sfx-${version}.tar.gz
mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out/$deb" "$out/$zip" "$out/$src" "$out/SHA256SUMS"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The Debian package, and lintian's verdict on it: errors stop the release.
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
cp "$work/deb/$deb" "$out/$deb"
lintian --fail-on error "$out/$deb" || {
    echo "release: lintian found errors in $deb" >&2
    exit 1
}

# The Windows zip: one folder, files in a fixed order, every time stamp
# the commit's, no extra attributes (-X).
dir=sfxpack-${version}-windows-x86
mkdir -p "$work/zip/$dir"
chmod 755 "$work/zip/$dir"
i686-w64-mingw32-strip -o "$work/zip/$dir/sfxpack.exe" "$build/windows/tools/sfxpack/sfxpack.exe"
install -m 644 "$build/windows/launcher.exe" "$work/zip/$dir/"
mandoc -Tascii -Ios="sfx $version" "$root/tools/sfxpack/sfxpack.1" | col -bx >"$work/zip/$dir/sfxpack.txt"
install -m 644 "$root/README.md" "$work/zip/$dir/README.md"
install -m 644 "$root/LICENSE" "$work/zip/$dir/LICENSE.txt"
chmod 644 "$work/zip/$dir/sfxpack.txt" "$work/zip/$dir/sfxpack.exe"
find "$work/zip" -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$work/zip" && zip -X -q -9 "$out/$zip" "$dir/" "$dir/LICENSE.txt" "$dir/README.md" \
    "$dir/launcher.exe" "$dir/sfxpack.exe" "$dir/sfxpack.txt")

# The source: git archive stamps every file with the commit's time.
git -C "$root" archive --format=tar --prefix="sfx-$version/" HEAD | gzip -9n >"$out/$src"

(cd "$out" && sha256sum "$src" "$zip" "$deb" >SHA256SUMS)
echo "release: $out"
(cd "$out" && cat SHA256SUMS)
