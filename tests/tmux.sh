# Sourced by the terminal tests: a private tmux server with one session "t",
# and the helpers that drive it. The caller sets $scratch, a scratch folder
# that goes away with the server, and $bin, the monitor.
. "$(dirname "$0")/userns.sh"
skip_without_userns
# The server's socket lives in the scratch folder and goes away with it.
sock="$scratch/tmux-server0"
fails=0
# Panes start through /bin/sh whatever the login shell is.
printf 'set -g status off\nset -g default-terminal screen\nset -g default-shell /bin/sh\n' >"$scratch/tmux.conf"
tm() { tmux -S "$sock" -f "$scratch/tmux.conf" "$@"; }
# Starts session "t" on a server of its own: a server whose last pane ended
# may still be going away, and a session started on it would go with it.
servers=0
new_session() { # tmux new-session options and command
    tm kill-server 2>/dev/null
    servers=$((servers + 1))
    sock="$scratch/tmux-server$servers"
    tm new-session -d -s t "$@"
}
# The pane's pipe may still be writing as the server goes. A test may set
# $on_exit to a command of its own to run first.
trap 'eval "${on_exit:-}"; tm kill-server 2>/dev/null; sleep 0.3; rm -rf "$scratch"' EXIT

screen() { tm capture-pane -t t -p; }
# The monitor: the innermost process under the pane, however many shells
# stand between (a shell that runs a command need not exec it).
monitor_pid() {
    local p child
    p=$(tm display -p -t t '#{pane_pid}') || return 1
    while child=$(pgrep -P "$p" | head -n 1) && [ -n "$child" ]; do p=$child; done
    echo "$p"
}
# A line of the screen (from 0), its trailing blanks cut.
line() { screen | sed -n "$(($1 + 1))p" | sed 's/ *$//'; }
# The line reads as wanted within 5 s: a repaint may reach the pane in pieces,
# its first lines before its last.
expect_line() { # line, text, what
    local got
    for _ in $(seq 50); do
        got=$(line "$1")
        [ "$got" = "$2" ] && return 0
        sleep 0.1
    done
    fail "${3:+$3: }line $1" "got:  '$got'" "want: '$2'"
}
keys() { tm send-keys -t t "$@"; }
# A pane's interactive dash with nothing of the caller's environment.
plain_shell="env -i PATH=$PATH TERM=screen HOME=$scratch PS1='$ ' sh -i"
# The command line that runs the monitor ($bin, with the arguments given) on
# $scratch/table bind-mounted over /proc/interrupts.
# A library preloaded ahead of the sanitizers' runtime (libfaketime) is let be.
on_table() { # arguments
    echo "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 unshare -rm sh -c 'mount --bind $scratch/table /proc/interrupts && exec $bin${1:+ $1}'"
}
fail() { # what, then lines to show
    printf 'FAIL %s\n' "$1"
    shift
    printf '%s\n' "$@"
    echo "--- screen:"
    screen
    fails=$((fails + 1))
}
# Waits up to 10 s for the screen to show the text.
wait_for() { # text, what for
    for _ in $(seq 100); do
        screen | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    fail "${2:+$2: }waiting for '$1'"
    return 1
}
# The time of day the title clock shows.
clock() { screen | head -n 1 | grep -o '[0-9][0-9]:[0-9][0-9]:[0-9][0-9] [0-9]*$' | cut -c1-8; }
# Waits up to 3 s (or as many as given) for the title clock to change: a
# refresh, or a repaint.
next_paint() { # seconds
    local was
    was=$(clock)
    for _ in $(seq $((${1:-3} * 50))); do
        [ "$(clock)" != "$was" ] && return 0
        sleep 0.02
    done
    fail "the title clock stood still for ${1:-3} s at $was"
    return 1
}
# The command line that runs the monitor on a live table ($live, a build of
# tests/live_table.cpp) served through FUSE from a template, in the monitor's
# own namespace, at so many nanoseconds a byte.
on_live() { # template, ns a byte, monitor arguments, the monitor's own environment
    echo "ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0 unshare -rm sh -c '$live $scratch/mnt $1 $2 & for i in \$(seq 100); do [ -e $scratch/mnt/interrupts ] && break; sleep 0.05; done; mount --bind $scratch/mnt/interrupts /proc/interrupts && exec ${4:+env $4 }$bin${3:+ $3}'"
}
# Where FUSE cannot be mounted (no /dev/fuse, a container) the test says so
# and ends with 77.
skip_without_fuse() {
    mkdir -p "$scratch/mnt"
    printf '  CPU0\n  0: @1  x\n' >"$scratch/probe"
    if ! timeout 10 unshare -rm sh -c "$live $scratch/mnt $scratch/probe 0 & p=\$!; for i in \$(seq 100); do [ -e $scratch/mnt/interrupts ] && break; sleep 0.05; done; grep -q x $scratch/mnt/interrupts; s=\$?; kill \$p; exit \$s" 2>/dev/null; then
        echo "SKIP $(basename "$0"): FUSE cannot be mounted here (no /dev/fuse, or not permitted in a user namespace), so no live table can be served"
        exit 77
    fi
    on_exit="${on_exit:+$on_exit; }pkill -f '$scratch/mnt' 2>/dev/null"
}
