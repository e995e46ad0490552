#!/usr/bin/env bash
# Builds the packages with the README's own commands, run as they stand in a
# copy of the tree: the Debian package, unpacked, its metadata checked and the
# unpacked binary run; then the static build's tarball and RPM, the RPM
# installed into an empty root, run and removed, and the static binary alone
# in bare roots (bare_root.sh). The static build is made both with Google
# Benchmark's CMake package in sight and without it, however the machine has
# it: the benchmark needs a static archive there, and is left out otherwise.
set -u
src=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
. "$(dirname "$0")/userns.sh"
fails=0
check() { # what, got, want
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n  got:  %s\n  want: %s\n' "$1" "$2" "$3"
        fails=$((fails + 1))
        return 1
    fi
}
# The README's command that builds into the folder given.
readme_command() { # build folder
    sed -n "s/^    \(cmake -S \. -B $1 .*\)/\1/p" "$src/README.md"
}
# A copy of the tree without its build folders, and the command run there.
run_readme() { # build folder, copy, a folder to hide from it
    local cmd
    cmd=$(readme_command "$1")
    [ -n "$cmd" ] || { echo "FAIL the README has no command that builds $1"; exit 1; }
    mkdir -p "$2" "$scratch/empty"
    (cd "$src" && tar --exclude='./build*' --exclude=./.git -cf - .) | tar -C "$2" -xf -
    echo "+ $cmd" >"$scratch/log"
    if [ -n "${3:-}" ]; then
        unshare -rm sh -c 'mount --bind "$0" "$1" && cd "$2" && eval "$3"' "$scratch/empty" "$3" "$2" "$cmd"
    else
        sh -c 'cd "$0" && eval "$1"' "$2" "$cmd"
    fi >>"$scratch/log" 2>&1 || {
        cat "$scratch/log"
        echo "FAIL the README's command for $1${3:+ with $3 hidden}"
        exit 1
    }
}

run_readme build-deb "$scratch/src"
version=$(sed -n 's/^project(kevrane VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
arch=$(dpkg --print-architecture)
deb="$scratch/src/build-deb/kevrane_${version}_${arch}.deb"
[ -f "$deb" ] || { echo "FAIL no $deb"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
check "Package" "$(field Package)" kevrane
check "Version" "$(field Version)" "$version"
check "Architecture" "$(field Architecture)" "$arch"
depends=$(field Depends)
for lib in libncurses6 libtinfo6 libc6; do
    [[ "$depends" == *"$lib "* || "$depends" == *"$lib" ]] || check "Depends on $lib" "$depends" "... $lib ..."
done
[ -n "$(field Description | sed -n 2p)" ] || check "long description" "" "present"
dpkg-deb -I "$deb" >/dev/null || check "dpkg-deb -I" "failed" "ok"

dpkg-deb -x "$deb" "$scratch/root"
for f in usr/bin/kevrane usr/share/man/man1/kevrane.1.gz usr/share/doc/kevrane/copyright usr/share/doc/kevrane/changelog.gz; do
    [ -f "$scratch/root/$f" ] || check "file $f" missing present
done
"$scratch/root/usr/bin/kevrane" -H >"$scratch/out" 2>&1
check "status of -H" "$?" 1
check "usage line" "$(cat "$scratch/out")" "usage: $scratch/root/usr/bin/kevrane cH"
# Out of memory at start-up: 4,000 lines that count on each of 4,096 CPUs
# ask for 187 MiB of sample slots. (Checked here, on a build without the
# sanitizers, which answer a failed allocation with a report of their own.)
# A monitor that did start is stopped rather than waited for.
if userns; then
    {
        printf '%11s' ''
        for ((c = 0; c < 4096; c++)); do printf 'CPU%-8d' "$c"; done
        echo
        ones=$(printf ' 1%.0s' $(seq 4096))
        for ((i = 0; i < 4000; i++)); do echo "$i:$ones"; done
    } >"$scratch/big"
    (ulimit -v 150000 && timeout 20 unshare -rm sh -c 'mount --bind "$0" /proc/interrupts && exec "$1" -c' \
        "$scratch/big" "$scratch/root/usr/bin/kevrane") >"$scratch/out" 2>&1 </dev/null
    check "status when out of memory" "$?" 1
    check "message when out of memory" "$(cat "$scratch/out")" "kevrane: out of memory"
else
    skipped="the start out of memory was not tried"
fi

zcat "$scratch/root/usr/share/man/man1/kevrane.1.gz" | grep -q '^\.SH EXIT STATUS' || check "manual page" "no EXIT STATUS" "EXIT STATUS"

# The static build's packages, with Google Benchmark's CMake package where
# the machine has it, and then hidden from CMake in a mount namespace of its
# own; without it, the first build is the second case and the first is said
# to be missing.
static=$scratch/src/build-static
run_readme build-static "$scratch/src"
benchmark=$(dirname "$(find /usr/lib /usr/local/lib -path '*/cmake/benchmark/benchmarkConfig.cmake' 2>/dev/null | head -n 1)")
if [ "$benchmark" != . ]; then
    grep -q 'kevrane_bench left out: a static build needs Google Benchmark as a static archive' "$scratch/log" ||
        grep -q 'kevrane_bench' "$static/build.ninja" ||
        check "static build beside $benchmark" "neither the benchmark built nor a line saying why" "one of them"
    if userns; then
        run_readme build-static "$scratch/src2" "$benchmark"
        grep -q 'kevrane_bench' "$scratch/src2/build-static/build.ninja" &&
            check "static build without Google Benchmark" "the benchmark built" "left out"
        echo "package: the README's static build passed with Google Benchmark installed ($benchmark) and without it"
    else
        skipped="the static build was not tried without Google Benchmark"
    fi
else
    echo "package: the README's static build passed without Google Benchmark; with it, not tried (not installed)"
fi
# Where the C library starts a static PIE, the binary keeps address randomization.
if grep -q '^KEVRANE_STATIC_PIE:INTERNAL=1$' "$static/CMakeCache.txt"; then
    readelf -h "$static/kevrane" | grep -q 'DYN (Position-Independent' ||
        check "static binary" "$(readelf -h "$static/kevrane" | grep Type)" "a position-independent executable"
fi
"$(dirname "$0")/bare_root.sh" "$static/kevrane" "$src/tests/data"
case $? in
0) ;;
77) skipped="the static binary was not run in bare roots" ;;
*) check "bare roots" failed passed ;;
esac

machine=$(uname -m)
tgz=$static/kevrane-$version-linux-$machine.tar.gz
unpacked="$scratch/a folder with spaces"
mkdir "$unpacked"
tar -C "$unpacked" -xzf "$tgz" || check "tarball $tgz" "not unpacked" unpacked
top="$unpacked/kevrane-$version-linux-$machine"
for f in bin/kevrane share/man/man1/kevrane.1.gz share/doc/kevrane/README.md share/doc/kevrane/LICENSE \
    share/doc/kevrane/NOTICE; do
    [ -f "$top/$f" ] || check "tarball: $f" missing present
done
"$top/bin/kevrane" -H >"$scratch/out" 2>&1
check "tarball: usage line" "$(cat "$scratch/out")" "usage: $top/bin/kevrane cH"

rpm=$static/kevrane-$version-1.$machine.rpm
check "RPM" "$(rpm -qp --qf '%{NAME} %{VERSION}-%{RELEASE} %{ARCH}' "$rpm" 2>&1)" "kevrane $version-1 $machine"
check "RPM: what it requires" "$(rpm -qp --requires "$rpm" | grep -v '^rpmlib(')" ""
check "RPM: licence" "$(rpm -qp --qf '%{LICENSE}' "$rpm" | cut -d' ' -f1)" MIT
[ -n "$(rpm -qp --changelog "$rpm")" ] || check "RPM: changelog" none present
check "RPM: files" "$(rpm -qp --dump "$rpm" | awk '{ print $1, $5, $6, $7 }')" "/usr/bin/kevrane 0100755 root root
/usr/share/doc/kevrane 040755 root root
/usr/share/doc/kevrane/LICENSE 0100644 root root
/usr/share/doc/kevrane/NOTICE 0100644 root root
/usr/share/doc/kevrane/README.md 0100644 root root
/usr/share/doc/kevrane/changelog.gz 0100644 root root
/usr/share/man/man1/kevrane.1.gz 0100644 root root"
# Into an empty root with its own database, run there, removed. Debian's rpm
# keeps its database in the home folder unless told. Nothing but folders
# and the database may stay behind.
if userns; then
    mkdir "$scratch/rpmroot"
    unshare -r sh -c 'r="rpm --root $0 --dbpath /var/lib/rpm"
        $r --initdb && $r -i "$1" && chroot "$0" /usr/bin/kevrane -H >"$0.usage"
        [ $? = 1 ] && $r -e kevrane' "$scratch/rpmroot" "$rpm" 2>"$scratch/rpm.err"
    check "RPM: installed, run and removed" "$?" 0 || cat "$scratch/rpm.err"
    check "RPM: usage line where installed" "$(cat "$scratch/rpmroot.usage")" "usage: /usr/bin/kevrane cH"
    check "RPM: left behind" "$(find "$scratch/rpmroot" ! -type d ! -path '*/var/lib/rpm/*' -o -name 'kevrane*')" ""
else
    skipped="the RPM was not installed"
fi

if [ "$fails" = 0 ] && [ -n "${skipped:-}" ]; then
    userns_skip_note "$skipped"
    exit 77
fi
[ "$fails" = 0 ] && echo "package: all checks passed"
exit "$fails"
