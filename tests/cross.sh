#!/usr/bin/env bash
# Cross-builds Kevrane for other architectures and runs its tests there under
# qemu-user: every GoogleTest suite and the terminal tests of the binary.
#   tests/cross.sh [s390x] [arm64] [ppc64el]     (all three by default)
# Needs root (or sudo) for apt: it installs the cross compilers and qemu, adds
# the architectures to dpkg, and unpacks the target's ncurses and GoogleTest
# into build-cross/ARCH/sysroot. It never installs target packages on the host.
set -euo pipefail
cd "$(dirname "$0")/.."
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(s390x arm64 ppc64el)

declare -A triple=([s390x]=s390x-linux-gnu [arm64]=aarch64-linux-gnu [ppc64el]=powerpc64le-linux-gnu)
as_root=$([ "$(id -u)" = 0 ] || echo sudo)
packages=(cmake ninja-build qemu-user tmux util-linux procps)
for a in "${archs[@]}"; do
    [ -n "${triple[$a]:-}" ] || { echo "cross.sh: unknown architecture $a (s390x, arm64, ppc64el)"; exit 2; }
    packages+=("g++-${triple[$a]}")
    $as_root dpkg --add-architecture "$a"
done
# A foreign architecture may lack an index somewhere (security updates); the
# packages below come from the main archive all the same.
$as_root apt-get update -q || true
$as_root apt-get install -y -q --no-install-recommends "${packages[@]}"

for a in "${archs[@]}"; do
    t=${triple[$a]}
    dir=build-cross/$a
    sysroot=$PWD/$dir/sysroot
    if [ ! -e "$sysroot/usr/lib/$t/libgtest.a" ]; then
        rm -rf "$dir/debs" "$sysroot"
        mkdir -p "$dir/debs" "$sysroot"
        (cd "$dir/debs" && apt-get download -q \
            "libncurses-dev:$a" "libncurses6:$a" "libncursesw6:$a" "libtinfo6:$a" "libgtest-dev:$a")
        for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
        # ncurses keeps its run-time libraries in /lib; the linker looks in /usr/lib.
        if [ -d "$sysroot/lib/$t" ]; then
            mv "$sysroot/lib/$t"/* "$sysroot/usr/lib/$t/"
        fi
        ln -sf libtinfo.so.6 "$sysroot/usr/lib/$t/libtinfo.so"
    fi
    echo "== $a"
    cmake -S . -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEVRANE_WERROR=ON \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$a.cmake" -DKEVRANE_SYSROOT="$sysroot" \
        -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$dir/configure.log" || {
        cat "$dir/configure.log"
        exit 1
    }
    cmake --build "$dir/build"
    ctest --test-dir "$dir/build" --output-on-failure
done
