#!/usr/bin/env bash
# The terminal is left usable however the monitor ends: Ctrl-C and SIGTERM
# while it runs, while a prompt waits and while the help screen waits, each
# followed by `stty -a` in the same pane; and Ctrl-Z then fg comes back to a
# whole screen.
set -u
bin=$(realpath "$1")
data=$(realpath "$2")
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"

cp "$data/interrupts-8cpu-x86_64.txt" "$scratch/table"
# dash, not bash: bash puts back the terminal modes of a job that a signal
# ended, which would hide a monitor that did not.
tm new-session -d -s t -x 80 -y 24 "$plain_shell"
start=$(on_table)

# Starts the monitor, brings up what `before` asks for, ends it with `how`,
# then checks that the shell's terminal is back in its normal modes.
run_case() { # name, keys before, how
    local name=$1 before=$2 how=$3
    keys "clear" Enter
    keys "$start; echo END\"ED=\$?\"" Enter
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "$name" || return
    case $before in
    prompt) keys c && wait_for "Leftmost cpu?" "$name" ;;
    help) keys h && wait_for "Kevrane help:" "$name" ;;
    esac
    case $how in
    C-c) keys C-c ;;
    TERM) kill -TERM "$(monitor_pid)" ;;
    esac
    wait_for "ENDED" "$name" || return
    keys "clear; stty -a | tr ' ;' '\n\n' | grep -x -e echo -e -echo -e icanon -e -icanon -e icrnl -e -icrnl | tr '\n' ' '; echo" Enter
    wait_for "icrnl icanon echo" "$name: line editing and echo back" || return
    [ "$(tm display -p -t t '#{cursor_flag}')" = 1 ] || fail "$name: cursor hidden afterwards"
}

for how in C-c TERM; do
    for before in none prompt help; do
        run_case "$how while $before" "$before" "$how"
    done
done

# Suspend and resume: the whole screen comes back.
keys "clear" Enter
keys "$start" Enter
wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "C-z" && {
    keys C-z
    wait_for "Stopped" "C-z"
    keys "fg" Enter
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "fg" &&
        wait_for "(h)elp, (t)oggle-screens, arrows, etc" "fg" &&
        wait_for "LOC:timer interrupts" "fg"
    [ "$(screen | sed -n 2p)" = "                         *TOTAL*        cpu0        cpu1        cpu2        cpu3" ] ||
        fail "fg: heads"
    keys q
}

[ "$fails" = 0 ] && echo "signals: all checks passed"
exit "$fails"
