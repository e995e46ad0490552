#!/usr/bin/env bash
# The static binary with nothing around it: no NEEDED entry and no loader,
# and it runs in a root that holds only itself, one terminal description and
# the table, wherever a distribution keeps its descriptions. A root without
# the description, or without /proc/interrupts, gets the messages and status
# of any other system without them.
#   tests/bare_root.sh BIN DATA [EMULATOR]
# EMULATOR, a static qemu-user for a binary of another architecture, is put
# in each root beside the binary and runs it there.
set -u
bin=$(realpath "$1")
data=$(realpath "$2")
emulator=${3:+$(realpath "$3")}
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"

readelf -d "$bin" | grep -q NEEDED && fail "static" "$(readelf -d "$bin" | grep NEEDED)"
readelf -l "$bin" | grep -qi interpreter && fail "static" "it names a program interpreter"

desc=
for d in /usr/share/terminfo /lib/terminfo /etc/terminfo; do
    [ -f "$d/s/screen" ] && desc=$d/s/screen && break
done
[ -n "$desc" ] || { echo "FAIL bare root: this system has no description of 'screen'"; exit 1; }
cp "$data/interrupts-8cpu-x86_64.txt" "$scratch/table"

# A root with the binary and, unless told "none", a terminfo folder; the
# table mount point unless told "noproc".
make_root() { # name, terminfo folder or none, [noproc]
    local root=$scratch/$1
    mkdir -p "$root"
    cp "$bin" "$root/kevrane"
    [ -z "$emulator" ] || cp "$emulator" "$root/emulator"
    if [ "$2" != none ]; then
        mkdir -p "$root/$2/s"
        cp "$desc" "$root/$2/s/screen"
    fi
    if [ "${3:-}" != noproc ]; then
        mkdir "$root/proc"
        : >"$root/proc/interrupts"
    fi
}
# The command that runs the monitor in a root, the table bound over its
# /proc/interrupts when it has one.
in_root() { # name
    local root=$scratch/$1 run=/kevrane
    [ -z "$emulator" ] || run="/emulator /kevrane"
    if [ -e "$root/proc" ]; then
        echo "unshare -rm sh -c 'mount --bind $scratch/table $root/proc/interrupts && exec chroot $root $run'"
    else
        echo "unshare -rm chroot $root $run"
    fi
}

# Red Hat and SUSE, Debian, Alpine.
for dir in usr/share/terminfo lib/terminfo etc/terminfo; do
    make_root "${dir%%/*}" "$dir"
    new_session -x 80 -y 24 "$plain_shell"
    keys "clear; $(in_root "${dir%%/*}"); echo EXIT=\$?" Enter
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "$dir" || continue
    keys t t
    wait_for "TOTAL INTERRUPTS SINCE BOOT" "$dir"
    sleep 0.3
    expect_line 1 "                         *TOTAL*        cpu0        cpu1        cpu2        cpu3" "$dir"
    expect_line 2 "XXX:timer                     38          38           0           0           0" "$dir"
    expect_line 3 "1:1-edge      i8042           45          10          11           7           5" "$dir"
    expect_line 23 "(h)elp, (t)oggle-screens, arrows, etc" "$dir"
    keys q
    wait_for "EXIT=0" "$dir: q"
    keys "stty -a | tr ' ' '\n' | grep -x -e echo -e icanon -e -echo -e -icanon | tr '\n' ' '; echo" Enter
    wait_for "icanon echo" "$dir: the terminal restored"
done

# Not started: no description, an unknown terminal, no table.
not_started() { # what, root, TERM, message
    env -i PATH="$PATH" TERM="$3" sh -c "$(in_root "$2")" >"$scratch/out" 2>&1 </dev/null
    local status=$?
    [ "$status" = 1 ] || fail "$1: status" "got $status, want 1"
    [ "$(cat "$scratch/out")" = "$4" ] || fail "$1: message" "got:  '$(cat "$scratch/out")'" "want: '$4'"
}
make_root none none
not_started "no description" none screen "kevrane: unknown terminal type 'screen'"
not_started "unknown terminal" usr kevrane-unknown "kevrane: unknown terminal type 'kevrane-unknown'"
make_root noproc usr/share/terminfo noproc
not_started "no table" noproc screen "kevrane: cannot open /proc/interrupts: No such file or directory"

[ "$fails" = 0 ] && echo "bare root: all checks passed"
exit "$fails"
