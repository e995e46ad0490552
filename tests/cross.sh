#!/usr/bin/env bash
# Cross-builds Kevrane for other architectures and runs its tests there:
# every GoogleTest suite and the terminal tests of the binary.
#   tests/cross.sh [s390x] [arm64] [ppc64el] [armhf] [i386] [riscv64]   (all six by default)
# The 64-bit ones that large servers run (s390x, arm64, ppc64el) are also
# built statically, and that binary is run alone in a bare root under a
# static qemu-user (tests/bare_root.sh), and packed as a tarball and an RPM.
# i386 runs on the x86-64 kernel itself, through its own loader, where that
# kernel runs 32-bit x86 programs, and under qemu-user where it does not
# (KEVRANE_I386_QEMU=1 takes qemu all the same); the others under qemu-user.
# Needs root (or sudo) for apt: it installs the cross compilers and qemu, adds the architectures Debian 12 has to dpkg, and
# unpacks the target's ncurses and GoogleTest into build-cross/ARCH/sysroot.
# It never installs target packages on the host. riscv64 is a release
# architecture from Debian 13 on: its packages, the C library among them,
# come from Debian 13 through an apt configuration of the script's own,
# which leaves the host's sources and packages as they are.
set -euo pipefail
cd "$(dirname "$0")/.."
archs=("$@")
[ ${#archs[@]} -gt 0 ] || archs=(s390x arm64 ppc64el armhf i386 riscv64)

declare -A triple=([s390x]=s390x-linux-gnu [arm64]=aarch64-linux-gnu [ppc64el]=powerpc64le-linux-gnu
    [armhf]=arm-linux-gnueabihf [i386]=i686-linux-gnu [riscv64]=riscv64-linux-gnu)
# Debian's library folder, where it is not the compiler's triple.
declare -A multiarch=([i386]=i386-linux-gnu)
# RPM's name for the architecture, where a static build and its packages are made.
declare -A rpmarch=([s390x]=s390x [arm64]=aarch64 [ppc64el]=ppc64le)
target_packages=(libncurses-dev libncurses6 libncursesw6 libtinfo6 libgtest-dev)
as_root=$([ "$(id -u)" = 0 ] || echo sudo)
packages=(cmake ninja-build qemu-user qemu-user-static binutils rpm tmux util-linux procps)
for a in "${archs[@]}"; do
    [ -n "${triple[$a]:-}" ] || {
        echo "cross.sh: unknown architecture $a (${!triple[*]})"
        exit 2
    }
    packages+=("g++-${triple[$a]}")
    [ "$a" = riscv64 ] || $as_root dpkg --add-architecture "$a"
done
# A foreign architecture may lack an index somewhere (security updates); the
# packages below come from the main archive all the same.
$as_root apt-get update -q || true
$as_root apt-get install -y -q --no-install-recommends "${packages[@]}"

# Downloads riscv64 packages from Debian 13 into the current folder. apt's
# lists, cache and state are the script's own, and so is its sources list.
trixie_download() { # dir, packages...
    local apt=$1/apt
    shift
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial"
    echo "deb [arch=riscv64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" >"$apt/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache" -o Dir::State::Status=/dev/null
        -o APT::Architecture=riscv64 -o APT::Architectures::=riscv64 -o Debug::NoLocking=1)
    apt-get "${opts[@]}" update -q
    apt-get "${opts[@]}" download -q "$@"
}

# How i386 programs run here, found out once and said in one line: the
# kernel is asked through the target's loader. A kernel without 32-bit x86
# emulation refuses it ("Exec format error"), and the shell then reads the
# loader as a script, so only the loader's own answer counts.
i386_qemu() {
    if [ -n "${KEVRANE_I386_QEMU:-}" ]; then
        echo "i386: tests run under qemu-i386 (KEVRANE_I386_QEMU is set)" >&2
        echo qemu-i386
    elif /usr/i686-linux-gnu/lib/ld-linux.so.2 --version 2>/dev/null | grep -q '^ld\.so'; then
        echo "i386: tests run on this kernel itself, through the target's loader" >&2
    else
        echo "i386: tests run under qemu-i386: this kernel does not run 32-bit x86 programs" >&2
        echo qemu-i386
    fi
}

for a in "${archs[@]}"; do
    t=${triple[$a]}
    m=${multiarch[$a]:-$t}
    dir=build-cross/$a
    sysroot=$PWD/$dir/sysroot
    if [ ! -e "$sysroot/usr/lib/$m/libgtest.a" ]; then
        rm -rf "$dir/debs" "$sysroot"
        mkdir -p "$dir/debs" "$sysroot"
        if [ "$a" = riscv64 ]; then
            # The C and C++ libraries too: Debian 13's ncurses needs its own.
            # GoogleTest comes as its source: Debian 13's libgtest.a holds
            # relocations that Debian 12's linker does not know (it crashes).
            (cd "$dir/debs" && trixie_download "$PWD/.." "${target_packages[@]/libgtest-dev/googletest}" \
                libc6 libstdc++6 libgcc-s1)
            rm -rf "$dir/apt"
        else
            (cd "$dir/debs" && apt-get download -q "${target_packages[@]/%/:$a}")
        fi
        for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
        # ncurses keeps its run-time libraries in /lib; the linker looks in /usr/lib.
        if [ -d "$sysroot/lib/$m" ] && [ ! -L "$sysroot/lib" ]; then
            mv "$sysroot/lib/$m"/* "$sysroot/usr/lib/$m/"
        fi
        # Debian 13 keeps everything in /usr: programs ask for /lib's loader.
        [ -e "$sysroot/lib" ] || ln -s usr/lib "$sysroot/lib"
        ln -sf libtinfo.so.6 "$sysroot/usr/lib/$m/libtinfo.so"
        if [ -d "$sysroot/usr/src/googletest" ]; then
            cmake -S "$sysroot/usr/src/googletest" -B "$dir/gtest" -G Ninja -DCMAKE_BUILD_TYPE=Release \
                -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$a.cmake" -DKEVRANE_SYSROOT="$sysroot" -DBUILD_GMOCK=OFF \
                -DCMAKE_INSTALL_PREFIX="$sysroot/usr" -DCMAKE_INSTALL_LIBDIR="lib/$m" >"$dir/gtest.log"
            cmake --build "$dir/gtest" --target install >>"$dir/gtest.log"
        fi
    fi
    echo "== $a"
    runner=()
    [ "$a" = i386 ] && runner=(-DKEVRANE_QEMU="$(i386_qemu)")
    cmake -S . -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEVRANE_WERROR=ON "${runner[@]}" \
        -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$a.cmake" -DKEVRANE_SYSROOT="$sysroot" \
        -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$dir/configure.log" || {
        cat "$dir/configure.log"
        exit 1
    }
    cmake --build "$dir/build"
    ctest --test-dir "$dir/build" --output-on-failure
    [ -n "${rpmarch[$a]:-}" ] || continue
    echo "== $a, static"
    cmake -S . -B "$dir/static" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEVRANE_WERROR=ON -DKEVRANE_STATIC=ON \
        -DKEVRANE_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$a.cmake" -DKEVRANE_SYSROOT="$sysroot" \
        -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$dir/static.log" || {
        cat "$dir/static.log"
        exit 1
    }
    cmake --build "$dir/static"
    ctest --test-dir "$dir/static" --output-on-failure
    (cd "$dir/static" && cpack >cpack.log)
    ls "$dir/static/kevrane-"*"-linux-${rpmarch[$a]}.tar.gz" "$dir/static/kevrane-"*"-1.${rpmarch[$a]}.rpm"
done
