#!/usr/bin/env bash
# The monitor never outlives its terminal and never spins: run from a shell
# that ignores the hang-up signal (as nohup leaves it), it ends within 2 s of
# its pane being killed, in the pause, with the refresh prompt open and with
# help open. With standard input at its end it uses next to no CPU.
set -u
bin=$(realpath "$1")
data=$(realpath "$2")
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"

cp "$data/interrupts-8cpu-x86_64.txt" "$scratch/table"
start=$(on_table)

# Kills the pane the monitor runs in, with what `before` asks for open.
hang_up() { # name, keys before
    local name=$1 before=$2 pid
    new_session -x 80 -y 24 "$plain_shell"
    keys "trap '' HUP; $start" Enter
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "$name" || return
    case $before in
    prompt) keys s && wait_for "Refresh rate (sec)?" "$name" ;;
    help) keys h && wait_for "Kevrane help:" "$name" ;;
    esac
    pid=$(monitor_pid)
    [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm")" != sh ] || {
        fail "$name: no monitor under the pane"
        return
    }
    tm kill-pane -t t
    for _ in $(seq 20); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.1
    done
    fail "$name: still running 2 s after its terminal went away" \
        "$(ps -o pid,stat,time,args -p "$pid")"
    kill -KILL "$pid" 2>/dev/null
}

hang_up "in the pause" none
hang_up "at the refresh prompt" prompt
hang_up "on the help screen" help

# Keys at their end: no key can come, the screen still works. The monitor
# takes its samples and pauses as usual; a spinning one would use a whole CPU.
new_session -x 80 -y 24 "env -i PATH=$PATH TERM=screen HOME=$scratch sh -c \"$start < /dev/null\""
if wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "input at its end"; then
    pid=$(monitor_pid)
    ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
    hz=$(getconf CLK_TCK)
    t0=$(ticks)
    sleep 2
    t1=$(ticks)
    # 20% of one CPU over the two seconds.
    [ $(((t1 - t0) * 100)) -lt $((hz * 2 * 20)) ] ||
        fail "input at its end: $((t1 - t0)) ticks of CPU in 2 s ($hz a second)"
    wait_for "LOC:timer interrupts" "input at its end: the grid"
    kill -0 "$pid" 2>/dev/null || fail "input at its end: the monitor ended"
fi

[ "$fails" = 0 ] && echo "hangup: all checks passed"
exit "$fails"
