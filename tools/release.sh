#!/bin/sh
# Builds a release from this checkout and writes into OUT_DIR (default: dist):
#   sfxpack_<version>_<arch>.deb            sfxpack for Debian (CPack), checked by lintian
#   sfxpack-<version>-windows-x86.zip       bin/sfxpack.exe (static, stripped), the launcher
#                                           and the CMake package, the manual as text,
#                                           README and LICENSE
#   sfxpack-<version>-linux-x86_64.tar.gz   a prefix: bin/sfxpack (fully static, stripped),
#   sfxpack-<version>-linux-aarch64.tar.gz  the launcher, the CMake package, the manual
#                                           page, the bash completion and LICENSE
#   sfx-<version>.tar.gz                    the source of the last commit (git archive)
#   SHA256SUMS                              over the five
#
#   tools/release.sh [OUT_DIR]
#
# The version is the CMake project's.  Every time stamp is the last
# commit's (SOURCE_DATE_EPOCH, unless set), so two runs from the same
# commit write the same bytes.  The Release build goes to
# $SFX_RELEASE_BUILD (default: build-release in the checkout); it builds
# sfxpack and the launcher, not the tests, and the static builds in its
# folders static-x86_64 and static-aarch64 (cmake/static.cmake; the
# aarch64 one a cross build).  It runs on an amd64 machine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/dist}
build=${SFX_RELEASE_BUILD:-$root/build-release}

if [ "$(dpkg --print-architecture)" != amd64 ]; then
    echo "release: the static builds are made on amd64 (x86_64) machines only" >&2
    exit 1
fi

# What packing and checking the packages take; what a static libcrypto.a
# links with (pkg-config reads its Libs.private: Debian 13's libcrypto is
# built with zlib and zstd); and the aarch64 cross build: its compilers,
# libcrypto and those libraries for arm64, and qemu to run the result.
"$root/tools/install-deps.sh" git dpkg-dev file lintian mandoc bsdextrautils zip \
    pkgconf zlib1g-dev libzstd-dev \
    g++-aarch64-linux-gnu libssl-dev:arm64 zlib1g-dev:arm64 libzstd-dev:arm64 qemu-user-static

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "release: warning: the checkout has uncommitted changes; the packages are built from them," \
         "the source tarball holds the last commit" >&2
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSFX_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target all sfxpack_codepage_tables
# static_build DIR [CMAKE_ARGUMENT...]: the static sfxpack in DIR, with the
# launcher and the code page tables of the build above.
static_build() {
    dir=$1
    shift
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSFX_STATIC=ON \
        -DSFX_LAUNCHER="$build/windows/launcher.exe" \
        -DSFXPACK_CODEPAGE_TABLES="$build/tools/sfxpack/platform/codepage_tables.cpp" "$@" >/dev/null
    cmake --build "$dir" -j2 --target sfxpack
}
static_build "$build/static-x86_64"
static_build "$build/static-aarch64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake"
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
linux() { echo "sfxpack-${version}-linux-$1.tar.gz"; }
rm -f "$out/$deb" "$out/$zip" "$out/$src" "$out/$(linux x86_64)" "$out/$(linux aarch64)" "$out/SHA256SUMS"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The Debian package, and lintian's verdict on it: errors stop the release.
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
cp "$work/deb/$deb" "$out/$deb"
lintian --fail-on error "$out/$deb" || {
    echo "release: lintian found errors in $deb" >&2
    exit 1
}

# prefix_layout DIR SFXPACK STRIP: DIR laid out as an installation prefix:
# bin/SFXPACK stripped, the launcher in share/sfxpack and the CMake package
# in lib/cmake/sfxpack, so CMAKE_PREFIX_PATH=DIR finds it.
prefix_layout() {
    install -d -m 755 "$1/bin" "$1/share/sfxpack" "$1/lib/cmake/sfxpack"
    "$3" -o "$1/bin/$(basename "$2")" "$2"
    chmod 755 "$1/bin/$(basename "$2")"
    install -m 644 "$build/windows/launcher.exe" "$1/share/sfxpack/"
    install -m 644 "$root/cmake/sfxpackConfig.cmake" "$build/tools/sfxpack/sfxpackConfigVersion.cmake" \
        "$1/lib/cmake/sfxpack/"
}

# The Windows zip: one folder, files in a fixed order, every time stamp
# the commit's, no extra attributes (-X).  Its README is the zip's own,
# linking only to files the zip holds.
dir=sfxpack-${version}-windows-x86
mkdir -p "$work/zip/$dir"
chmod 755 "$work/zip/$dir"
prefix_layout "$work/zip/$dir" "$build/windows/tools/sfxpack/sfxpack.exe" i686-w64-mingw32-strip
mandoc -Tascii -Ios="sfx $version" "$root/tools/sfxpack/sfxpack.1" | col -bx >"$work/zip/$dir/sfxpack.txt"
chmod 644 "$work/zip/$dir/sfxpack.txt"
install -m 644 "$root/tools/release-windows-README.md" "$work/zip/$dir/README.md"
install -m 644 "$root/LICENSE" "$work/zip/$dir/LICENSE.txt"
find "$work/zip" -exec touch -d "@$SOURCE_DATE_EPOCH" {} +
(cd "$work/zip" && find "$dir" \( -type d -printf '%p/\n' \) -o -printf '%p\n' | LC_ALL=C sort |
    zip -X -q -9 "$out/$zip" -@)

# The Linux tarballs: one folder laid out as a prefix (bin, lib/cmake,
# share with the manual page, the bash completion and the license), files
# in a fixed order and mode, owned by root, every time stamp the commit's.
#   linux_tarball ARCH SFXPACK STRIP
linux_tarball() {
    dir=sfxpack-${version}-linux-$1
    mkdir -p "$work/$1/$dir"
    chmod 755 "$work/$1/$dir"
    prefix_layout "$work/$1/$dir" "$2" "$3"
    install -d -m 755 "$work/$1/$dir/share/man/man1" "$work/$1/$dir/share/bash-completion/completions" \
        "$work/$1/$dir/share/doc/sfxpack"
    install -m 644 "$root/tools/sfxpack/sfxpack.1" "$work/$1/$dir/share/man/man1/"
    install -m 644 "$root/tools/sfxpack/sfxpack.bash-completion" \
        "$work/$1/$dir/share/bash-completion/completions/sfxpack"
    install -m 644 "$root/LICENSE" "$work/$1/$dir/share/doc/sfxpack/"
    tar -C "$work/$1" --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
        --mtime="@$SOURCE_DATE_EPOCH" -cf - "$dir" | gzip -9n >"$out/$(linux "$1")"
}
linux_tarball x86_64 "$build/static-x86_64/tools/sfxpack/sfxpack" strip
linux_tarball aarch64 "$build/static-aarch64/tools/sfxpack/sfxpack" aarch64-linux-gnu-strip

# The source: git archive stamps every file with the commit's time.
git -C "$root" archive --format=tar --prefix="sfx-$version/" HEAD | gzip -9n >"$out/$src"

(cd "$out" && sha256sum "$src" "$zip" "$deb" "$(linux x86_64)" "$(linux aarch64)" >SHA256SUMS)
echo "release: $out"
(cd "$out" && cat SHA256SUMS)
