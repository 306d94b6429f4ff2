#!/usr/bin/env bash
# The package on Debian 12 armhf (32-bit ARM: long and size_t of 32 bits,
# long double = double), under qemu-user emulation: a bookworm root file
# system with Debian's packages (ci/debian-packages.txt); the package's wheel
# built inside it once, against them, and repaired by auditwheel (`make
# wheel`); the README's test command and the demo run on that wheel installed
# (a second build from the sources would cost many minutes under emulation).
# The demo's workbooks are copied to DEMO_OUT (ci/compare_results.py then
# compares them with those built on x86-64, every digit), the wheels to
# DEMO_OUT's folder, dist-armhf/.
#   bash ci/armhf.sh [DEMO_OUT]           (as root, on Debian 12)
#
# The root file system is kept between runs in $TRELLIS_CI_CACHE (outside the
# checkout) and made again when the package list changes.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)
demo_out=$(realpath -m "${1:-build/demo-armhf}")
cache=${TRELLIS_CI_CACHE:-/var/cache/trellis-ci}
# Every call runs several times slower under emulation.
time_scale=${TRELLIS_TIME_SCALE:-10}

export DEBIAN_FRONTEND=noninteractive
host_tools="qemu-user-static binfmt-support mmdebstrap arch-test"
# Each installed, not merely known to dpkg (dpkg-query -W also lists
# packages removed with their configuration kept).
# shellcheck disable=SC2086
installed=$(dpkg-query -W -f='${Status}\n' $host_tools 2>/dev/null | grep -c '^install ok installed$' || true)
if [ "$installed" -ne "$(wc -w <<<"$host_tools")" ]; then
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $host_tools >/dev/null
fi
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
    update-binfmts --import qemu-arm >/dev/null
    update-binfmts --enable qemu-arm
fi

# One run at a time uses the cache: runs of two checkouts would share the
# root file system's work folder.
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9

packages=$(grep -v -e '^#' -e '^$' ci/debian-packages.txt | sort | tr '\n' ',' | sed 's/,$//')
rootfs="$cache/armhf-bookworm-$(printf '%s' "$packages" | sha256sum | cut -c1-12)"
if [ ! -x "$rootfs/usr/bin/python3" ]; then
    echo "making the armhf root file system in $rootfs"
    # A mirror caught in a sync serves an index that its release file
    # contradicts ("File has unexpected size"): tried again after a pause,
    # then, for the security suite's index, without it (the tests need
    # Debian 12's packages, not their latest security fixes).
    make_rootfs() {
        rm -rf "$rootfs.partial"
        mmdebstrap --quiet --arch=armhf --variant=apt --include="$packages" bookworm \
            "$rootfs.partial" "$@"
    }
    main="deb http://deb.debian.org/debian bookworm main"
    updates="deb http://deb.debian.org/debian bookworm-updates main"
    security="deb http://deb.debian.org/debian-security bookworm-security main"
    make_rootfs "$main" "$updates" "$security" ||
        { sleep 60; make_rootfs "$main" "$updates" "$security"; } ||
        { echo "the security suite's index could not be read: the root file system is made without it"
          make_rootfs "$main" "$updates"; }
    # Root file systems of older package lists are not used any more.
    find "$cache" -maxdepth 1 -name 'armhf-bookworm-*' ! -name "$(basename "$rootfs")*" \
        -exec rm -rf {} +
    mv "$rootfs.partial" "$rootfs"
fi

# A clean copy of the checkout: the build inside writes its own build folder
# and environment.
work="$rootfs/work/trellis"
rm -rf "$rootfs/work"
mkdir -p "$work"
git -C "$checkout" ls-files -z --cached --others --exclude-standard \
    | (cd "$checkout" && tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$work" -xf -

# pip inside needs the name servers and the certificates this machine trusts.
cp -L /etc/resolv.conf "$rootfs/etc/resolv.conf"
cp -L /etc/ssl/certs/ca-certificates.crt "$rootfs/etc/ssl/certs/host-ca-certificates.crt"

mounts=()
unmount_all() {
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[$i]}" 2>/dev/null || true; done
}
trap unmount_all EXIT
trap 'exit 1' INT TERM
for fs in proc sys dev dev/pts; do
    mount --bind "/$fs" "$rootfs/$fs"
    mounts+=("$rootfs/$fs")
done

echo "=== armhf: $(chroot "$rootfs" uname -m), $(chroot "$rootfs" python3 --version)"
chroot "$rootfs" /usr/bin/env -i HOME=/root PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/host-ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    TRELLIS_TIME_SCALE="$time_scale" TRELLIS_EMULATED=1 TRELLIS_SKIP_LIBREOFFICE=1 \
    TRELLIS_FUZZ_EXAMPLES="${TRELLIS_FUZZ_EXAMPLES:-25}" \
    /bin/bash -c 'set -e; cd /work/trellis
        debian=(PYTHON=/usr/bin/python3 SYSTEM_PACKAGES=1 CONSTRAINTS=ci/debian.txt)
        start=$SECONDS
        make wheel "${debian[@]}" WERROR=1
        echo "=== armhf: the wheel built and repaired in $((SECONDS - start)) s"
        wheel=$(ls dist/vireo_trellis-*manylinux*_armv7l.whl)
        make test "${debian[@]}" WHEEL="$wheel"
        make demo "${debian[@]}" WHEEL="$wheel" DEMO_OUT=/work/demo-armhf >/dev/null'

rm -rf "$demo_out" "$(dirname "$demo_out")/dist-armhf"
mkdir -p "$(dirname "$demo_out")"
cp -r "$rootfs/work/demo-armhf" "$demo_out"
cp -r "$work/dist" "$(dirname "$demo_out")/dist-armhf"
