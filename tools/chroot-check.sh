#!/bin/sh
# Shows that a fresh minimal Debian system gets from a clone of this
# repository to green with the README's two commands.  A maintainer's
# script, not part of the test command; it needs root and takes long
# (Wine, mingw and a full build and test run inside the new system).
#
#   tools/chroot-check.sh [--mid-sync] SUITE DIR
#   tools/chroot-check.sh --deb FILE SUITE DIR
#
# SUITE is a Debian release (bookworm, trixie); DIR is made afresh (an
# existing DIR is removed first) and holds the new system, left in place
# afterwards for a look inside.  The script installs debootstrap on this
# machine (through tools/install-deps.sh) if it is missing, then:
#   1. debootstrap --variant=minbase SUITE into DIR, with the release's
#      usual sources (SUITE, SUITE-updates, SUITE-security) from the
#      mirrors this machine's apt sources use (tools/debian-mirror.sh;
#      SFX_MIRROR and SFX_SECURITY_MIRROR override them);
#   2. clones this checkout's committed branch into DIR/root/sfx (root's
#      home is 0700 there, as on every fresh Debian);
#   3. mounts /proc, /sys, /dev, /dev/pts, a fresh /dev/shm and, where this
#      machine has it, /proc/sys/fs/binfmt_misc;
#   4. runs `tools/demo.sh` and then `tools/check.sh` in /root/sfx through
#      chroot, with a bare environment as on a fresh login;
#   5. prints a summary: each step's time and exit status, and CTest's
#      count of passed and failed tests.
# On every way out, what still runs inside DIR is ended and everything
# mounted under DIR is unmounted.
#
# 32-bit code: where this machine runs 32-bit x86 code only through
# qemu-user, tools/install-deps.sh registered qemu-i386 with binfmt_misc.
# That registration belongs to the kernel, so the new system shares it, and
# its F flag means the emulator was opened at registration time: 32-bit
# Wine starts inside DIR although DIR has no emulator of its own, and the
# install step there finds Wine working and leaves binfmt_misc alone.
#
# --deb FILE: instead of steps 2 and 4, installs the package FILE (made by
# tools/release.sh) with `apt install ./FILE`, beside man-db, cmake and
# make, and shows that what a user of the package does works there:
# `sfxpack --version`, `sfxpack create` and `verify` of a container,
# `man sfxpack`, and the package test's sample project (tests/sfxpack/
# sample), which packs its files with `find_package(sfxpack)` and
# `sfxpack_add_container`.
#
# --mid-sync: a mirror caught in the middle of a sync serves a Release file
# whose index sizes no longer match the index files.  tools/mid-sync-mirror.py
# plays such a mirror on 127.0.0.1, and DIR's sources gain its repository
# (trusted=yes: it is unsigned).  Every `apt-get update` inside then fails
# on those indexes with apt's own "File has unexpected size ... Mirror sync
# in progress?" and exit status 100, as on the real mirror, while the
# other lists arrive.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)

midsync=no
deb=""
case "${1:-}" in
    --mid-sync) midsync=yes; shift ;;
    --deb) deb=$(realpath "${2:?--deb needs a file}"); shift 2 ;;
esac
if [ $# -ne 2 ]; then
    echo "usage: tools/chroot-check.sh [--mid-sync] SUITE DIR" >&2
    echo "       tools/chroot-check.sh --deb FILE SUITE DIR" >&2
    exit 2
fi
suite=$1
dir=$(realpath -m "$2")
# The new system's sources name the mirrors this machine's apt uses.
mirror=${SFX_MIRROR:-$("$root/tools/debian-mirror.sh")}
security=${SFX_SECURITY_MIRROR:-$("$root/tools/debian-mirror.sh" --security)}
case "$dir" in
    /|/root|/work|/home|"$root"|"$root"/*)
        echo "chroot-check: refusing to use $dir as the new system's folder" >&2
        exit 2 ;;
esac
if [ "$(id -u)" -ne 0 ]; then
    echo "chroot-check: needs root (debootstrap, mount, chroot)" >&2
    exit 2
fi

server_pid=""
cleanup() {
    status=$?
    # What the run left running inside (a wineserver, Xvfb): every process
    # whose root is DIR was started by this run.
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$dir" ] && kill -9 "${p#/proc/}" 2>/dev/null
    done
    # Deepest first: what the tests inside may have left mounted too.
    grep -F " $dir/" /proc/self/mounts | cut -d' ' -f2 | sort -r | while read -r m; do
        umount "$m" 2>/dev/null || umount -l "$m" || echo "chroot-check: could not unmount $m" >&2
    done
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

now() { date +%s; }
took() { echo "$(( $(now) - $1 ))s"; }

export DEBIAN_FRONTEND=noninteractive
"$root/tools/install-deps.sh" debootstrap

# A fresh system each time: what an earlier run installed would hide a
# missing install step.
if [ -e "$dir" ]; then
    if grep -qF " $dir/" /proc/self/mounts; then
        echo "chroot-check: something is still mounted under $dir" >&2
        exit 1
    fi
    rm -rf "$dir"
fi
mkdir -p "$dir"

t=$(now)
echo "== debootstrap --variant=minbase $suite $dir"
debootstrap --variant=minbase "$suite" "$dir" "$mirror" >"$dir.debootstrap.log" 2>&1 ||
    { tail -20 "$dir.debootstrap.log" >&2; exit 1; }
t_boot=$(took "$t")

cat >"$dir/etc/apt/sources.list" <<EOF
deb $mirror $suite main
deb $mirror $suite-updates main
deb $security $suite-security main
EOF
# No services start inside the new system while packages install.
printf '#!/bin/sh\nexit 101\n' >"$dir/usr/sbin/policy-rc.d"
chmod 755 "$dir/usr/sbin/policy-rc.d"
cp /etc/resolv.conf "$dir/etc/resolv.conf"

if [ "$midsync" = yes ]; then
    portfile="$dir.mid-sync-mirror.port"
    rm -f "$portfile"
    python3 "$root/tools/mid-sync-mirror.py" "$dir.mid-sync-mirror" "$portfile" >/dev/null 2>&1 &
    server_pid=$!
    for _ in $(seq 50); do [ -s "$portfile" ] && break; sleep 0.1; done
    [ -s "$portfile" ] || { echo "chroot-check: the mid-sync mirror did not start" >&2; exit 1; }
    echo "deb [trusted=yes] http://127.0.0.1:$(cat "$portfile")/ mid-sync main" \
        >"$dir/etc/apt/sources.list.d/mid-sync.list"
    echo "== mid-sync mirror on 127.0.0.1:$(cat "$portfile") (index sizes off by one)"
fi

mount -t proc proc "$dir/proc"
mount --bind /sys "$dir/sys"
mount --bind /dev "$dir/dev"
mount --bind /dev/pts "$dir/dev/pts"
mount -t tmpfs -o mode=1777 shm "$dir/dev/shm"
if [ -e /proc/sys/fs/binfmt_misc/register ]; then
    mount --bind /proc/sys/fs/binfmt_misc "$dir/proc/sys/fs/binfmt_misc"
fi

inside() {
    chroot "$dir" /usr/bin/env -i HOME=/root TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/sh -c "cd /root/sfx && $1"
}

if [ -n "$deb" ]; then
    # The package test's sample project, with an installer, a cabinet and
    # the launcher's own icon to pack.
    project="$dir/root/sfx/project"
    mkdir -p "$project"
    cp "$deb" "$dir/root/sfx/"
    cp "$root/tests/sfxpack/sample/CMakeLists.txt" "$project/"
    cp "$root/res/app.ico" "$project/"
    printf 'MZ an installer' >"$project/installer.exe"
    printf 'cab' >"$project/data.cab"
    name=$(basename "$deb")
    echo "== apt install ./$name"
    t=$(now)
    inside "set -e; export DEBIAN_FRONTEND=noninteractive; apt-get update -q || true
        apt-get install -y -q --no-install-recommends ./$name man-db cmake make
        set -x
        sfxpack --version
        sfxpack create -o setup.exe project/installer.exe project/data.cab
        sfxpack verify setup.exe
        man sfxpack | grep -q 'EXIT STATUS'
        cmake -S project -B project/build
        cmake --build project/build
        sfxpack list project/build/setup.exe" && status=0 || status=$?
    echo
    echo "== summary: $suite, the package $name"
    echo "debootstrap:       $t_boot"
    echo "install and use:   exit $status, $(took "$t")"
    exit "$status"
fi

echo "== cloning $root ($(git -C "$root" rev-parse --abbrev-ref HEAD) at $(git -C "$root" rev-parse --short HEAD)) into /root/sfx"
git clone -q --no-hardlinks --branch "$(git -C "$root" rev-parse --abbrev-ref HEAD)" "$root" "$dir/root/sfx"
ls -ld "$dir/root"

t=$(now)
echo "== tools/demo.sh"
demo=0
inside tools/demo.sh || demo=$?
t_demo=$(took "$t")

t=$(now)
echo "== tools/check.sh"
{ check=0; inside tools/check.sh || check=$?; echo "$check" >"$dir.check.status"; } 2>&1 |
    tee "$dir.check.log"
check=$(cat "$dir.check.status")
t_check=$(took "$t")
tally=$(grep -E "tests passed, [0-9]+ tests failed out of" "$dir.check.log" | tail -1 || true)
failed=$(sed -n '/The following tests FAILED:/,$p' "$dir.check.log" | sed -n 's/^[[:space:]]*[0-9]* - \(.*\)$/\1/p' || true)

echo
echo "== summary: $suite$( [ "$midsync" = yes ] && echo ', with a mirror mid-sync')"
echo "debootstrap:       $t_boot"
echo "tools/demo.sh:     exit $demo, $t_demo"
echo "tools/check.sh:    exit $check, $t_check, ${tally:-no CTest tally: it stopped before the tests}"
[ -n "$failed" ] && printf 'failed:\n%s\n' "$failed"
[ "$demo" -eq 0 ] && [ "$check" -eq 0 ] && echo "$tally" | grep -q "100% tests passed"
