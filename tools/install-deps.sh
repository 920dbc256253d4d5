#!/bin/sh
# Installs what the build and the tests need, if it is missing: the native
# toolchain, mingw-w64 for the 32-bit launcher, Wine and Xvfb to run it,
# OpenSSL's libcrypto for sfxpack's digests and signature reading, and the
# header-only libraries sfxpack is built with (CLI11, nlohmann-json; the
# mingw build takes the same headers), strace, with which the release
# test watches what the static sfxpack opens, and NSIS, whose makensis
# builds the real installer the launch tests run, and faketime, with which
# the signature tests make time stamps at a fixed time.
# Idempotent and non-interactive; safe to run before every build.
#   tools/install-deps.sh [PACKAGE...]   also install these (the demo's
#                                        screenshot tool, for one)
#
# A PACKAGE of another architecture (libssl-dev:arm64) adds that
# architecture to dpkg first.  Naming qemu-user-static also registers its
# aarch64 emulator for aarch64 ELF files, so the release's aarch64 sfxpack
# runs like a native program, in a chroot too.
#
# Some virtual machines cannot execute 32-bit x86 code at all (no compat
# code segment), which leaves 32-bit Wine dead.  There the script registers
# qemu's i386 user-mode emulator for 32-bit ELF files; only the 32-bit Wine
# loader then runs emulated, everything 64-bit stays native.  The emulator
# comes from bookworm-backports: older versions take close to a minute to
# start Wine because of how they search for free address space.
set -eu

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
updated=no
# A mirror caught mid-sync fails one index ("File has unexpected size");
# apt keeps the lists it could fetch.  Try a few times, then go on with them.
apt_update() {
    [ "$updated" = yes ] && return 0
    tries=0
    until $SUDO apt-get update -qq; do
        tries=$((tries + 1))
        if [ "$tries" -ge "${SFX_APT_TRIES:-3}" ]; then
            echo "install-deps: apt-get update failed $tries times; going on with the package lists apt has" >&2
            break
        fi
        sleep "${SFX_APT_PAUSE:-10}"
    done
    updated=yes
}

# Installs the named packages.  When the lists of one architecture lag
# behind another's (a point release half mirrored), multiarch packages may
# not resolve; the release's own suites then give a matching set.
apt_install() {
    out=$($SUDO apt-get install -y -qq --no-install-recommends "$@" 2>&1) && return 0
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "install-deps: the install did not resolve; trying again against $codename alone" >&2
    out=$($SUDO apt-get install -y -qq --no-install-recommends -t "$codename" "$@" 2>&1) && return 0
    printf '%s\n' "$out" >&2
    echo "install-deps: could not install: $*" >&2
    exit 1
}

need=""
for pkg in cmake g++ make python3 libgtest-dev g++-mingw-w64-i686 \
           binutils-mingw-w64-i686 xvfb xauth wine wine64 wine32:i386 \
           osslsigncode openssl libssl-dev libcli11-dev nlohmann-json3-dev python3-pefile \
           e2fsprogs util-linux mandoc strace nsis faketime "$@"; do
    have "$pkg" || need="$need $pkg"
done
# The architectures named by the packages (wine32:i386 among them).
add_architectures() {
    for pkg in "$@"; do
        case "$pkg" in
        *:*)
            arch=${pkg##*:}
            [ "$arch" = "$(dpkg --print-architecture)" ] && continue
            dpkg --print-foreign-architectures | grep -qx "$arch" && continue
            $SUDO dpkg --add-architecture "$arch"
            updated=no
            ;;
        esac
    done
}

if [ -n "$need" ]; then
    add_architectures $need
    echo "install-deps: installing$need" >&2
    apt_update
    apt_install $need
fi

# Wine names files in the Linux locale's character set; without a real
# locale it has none for non-ASCII names.  The tests run the launcher in a
# Japanese (code page 932), a Korean (949) and an English locale.
for loc in ja_JP ko_KR en_US; do
    if ! locale -a 2>/dev/null | grep -qx "$loc.utf8"; then
        if ! have locales; then
            apt_update
            apt_install locales
        fi
        $SUDO localedef -i "$loc" -f UTF-8 "$loc.UTF-8"
    fi
done

binfmt=/proc/sys/fs/binfmt_misc
# register NAME MAGIC MASK EMULATOR: runs ELF files that match with the
# emulator.  The F flag opens the emulator at registration time (so it
# also runs inside a chroot), and an entry made before an upgrade keeps
# running the old emulator: register afresh.
register() {
    [ -e "$binfmt/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
    [ -e "$binfmt/$1" ] && echo -1 | $SUDO tee "$binfmt/$1" >/dev/null
    printf '%s' ":$1:M::$2:$3:$4:F" | $SUDO tee "$binfmt/register" >/dev/null
}

case " $* " in
*" qemu-user-static "*)
    register qemu-aarch64 \
        '\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00' \
        '\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
        /usr/bin/qemu-aarch64-static
    ;;
esac

# Can this machine run 32-bit x86 Linux code by itself?  (SFX_WINE_PROBE
# names another program to ask, for the script's own test.)
probe=${SFX_WINE_PROBE:-/usr/lib/wine/wine}
if "$probe" --version >/dev/null 2>&1; then
    exit 0
fi

codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
qemu_ok() {
    command -v qemu-i386-static >/dev/null 2>&1 || return 1
    major=$(qemu-i386-static --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
    [ "${major:-0}" -ge 8 ]
}
if ! qemu_ok; then
    echo "install-deps: installing qemu-user-static (32-bit code does not run natively here)" >&2
    if [ "$codename" = bookworm ]; then
        list=/etc/apt/sources.list.d/bookworm-backports.list
        if ! grep -rqs "bookworm-backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
            # From the mirror the machine already uses (a local or company
            # one on a build farm), not an address written in here.
            mirror=$("$(dirname "$0")/debian-mirror.sh")
            echo "deb $mirror bookworm-backports main" | $SUDO tee "$list" >/dev/null
            updated=no
        fi
        apt_update
        apt_install -t bookworm-backports qemu-user-static
    else
        apt_update
        apt_install qemu-user-static
    fi
fi

register qemu-i386 \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
    '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
    /usr/bin/qemu-i386-static

if ! "$probe" --version >/dev/null 2>&1; then
    echo "install-deps: 32-bit Wine still cannot start on this machine" >&2
    exit 1
fi
