#!/usr/bin/env bash
# The terminal is given back whole (modes, cursor, screen, paste marking)
# however the monitor ends, with the status of what ended it: q, Ctrl-C,
# Ctrl-\ and signals from outside, while it runs, at a prompt and on help,
# an abort, a call refused by seccomp, a signal while output is stopped with
# Ctrl-S; with output stopped no key waits for it, and Ctrl-Z stops at once.
# Stopped and continued, it comes back whole, at the terminal's size then,
# and gives back the shell's modes as they were then; it touches no terminal
# it does not own.
set -u
bin=$(realpath "$1")
data=$(realpath "$2")
refused_call=${3:+$(realpath "$3")} # runs the monitor with a call refused
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"

cp "$data/interrupts-8cpu-x86_64.txt" "$scratch/table"
# The panes run dash, not bash: bash puts back the terminal modes of a job
# that a signal ended, which would hide a monitor that did not.
start=$(on_table)

# Starts the monitor, brings up what `before` asks for, ends it with `how`,
# then checks that the shell's terminal is back in its normal modes.
run_case() { # name, keys before, how
    local name=$1 before=$2 how=$3
    new_session -x 80 -y 24 "$plain_shell"
    # The shell's open file keeps its flags (read before a read of the shell's clears them).
    keys "ulimit -c 0; $start; echo END\"ED=\$?\"; f=\$(grep flags /proc/self/fdinfo/0 | cut -f2); echo NB=\$(((0\$f >> 11) & 1))" Enter
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "$name" || return
    case $before in
    prompt) keys c && wait_for "Leftmost cpu?" "$name" ;;
    help) keys h && wait_for "Kevrane help:" "$name" ;;
    esac
    local status
    case $how in
    q) keys q && status=0 ;;
    C-s) # ends at once, however long the output stays stopped
        keys C-s && sleep 0.5 && p=$(monitor_pid) && kill -USR1 "$p" && sleep 1 &&
            { ! kill -0 "$p" 2>/dev/null || fail "$name: asleep while output is stopped"; }
        keys C-q && status=138 ;;
    'C-s q') keys C-s && sleep 1.5 && keys q && status=0 ;; # a repaint is due meanwhile
    'C-s Esc q') keys C-s && sleep 1.5 && keys Escape && sleep 0.3 && keys q && status=0 ;; # a bell
    'C-s c q' | 'C-s s q') # a prompt shows the cursor, and hides it again
        keys C-s && sleep 1.5 && keys "${how:4:1}" 7 Enter && keys q && status=0 ;;
    'C-s resize q') # a new size before any update met the stop
        keys s 100 Enter && sleep 0.3 && keys C-s && sleep 0.3 &&
            tm resize-window -t t -x 100 -y 30 && sleep 0.3 && keys q && status=0 ;;
    'C-s C-z') keys C-s && sleep 1.5 && keys C-z && status=148 ;; # Ctrl-Z lets output go too
    'C-s t C-q') # the screen drawn again at once, not at the next pass, 100 s away
        keys s 100 Enter && sleep 0.3 && keys C-s && sleep 0.3 && keys t && sleep 1 && keys C-q && sleep 1
        screen | grep -q "INTERRUPTS PER SECOND" || fail "$name: not drawn again within 1 s"
        keys q && status=0 ;;
    'C-s TSTP') keys C-s && sleep 0.3 && kill -TSTP "$(monitor_pid)" && status=148 ;; # output goes again
    'held TERM') # taking the terminal back after a continue, its write held by Ctrl-S
        keys s 100 Enter && sleep 0.3 && keys C-s && sleep 0.3 && p=$(monitor_pid) &&
            kill -CONT "$p" && sleep 0.1 && kill -TERM "$p" && status=143 ;;
    C-c) keys C-c && status=1 ;;
    'C-\') keys 'C-\' && status=131 ;;
    *) kill -"$how" "$(monitor_pid)" && status=$((128 + $(kill -l "$how"))) ;;
    esac
    wait_for "ENDED=$status" "$name" || return
    wait_for "NB=0" "$name: the terminal's file left non-blocking" || return
    keys "clear; stty -a | tr ' ;' '\n\n' | grep -x -e echo -e -echo -e icanon -e -icanon -e icrnl -e -icrnl | tr '\n' ' '; echo" Enter
    wait_for "icrnl icanon echo" "$name: line editing and echo back" || return
    [ "$(tm display -p -t t '#{cursor_flag} #{alternate_on}')" = "1 0" ] ||
        fail "$name: cursor hidden or the alternate screen on afterwards"
    tm set-buffer -b p 'echo P=$((40+2))' && tm paste-buffer -b p -p -t t && keys Enter
    wait_for "P=42" "$name: a paste afterwards"
}

for how in C-c 'C-\' TERM HUP; do
    for before in none prompt help; do
        run_case "$how while $before" "$before" "$how"
    done
done
for how in q QUIT USR1 USR2 ALRM PIPE ABRT C-s 'C-s q' 'C-s Esc q' 'C-s c q' 'C-s s q' \
    'C-s resize q' 'C-s C-z' 'C-s t C-q' 'C-s TSTP' 'held TERM'; do
    run_case "$how" none "$how"
done

# Suspend and resume: the whole screen comes back; q then gives the terminal
# back, with the modes the shell changed meanwhile.
new_session -x 80 -y 24 "$plain_shell"
keys "$start" Enter
wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "C-z" && {
    keys C-z
    wait_for "Stopped" "C-z"
    keys "stty erase '^H'; fg" Enter
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "fg" &&
        wait_for "(h)elp, (t)oggle-screens, arrows, etc" "fg" &&
        wait_for "LOC:timer interrupts" "fg"
    [ "$(screen | sed -n 2p)" = "                         *TOTAL*        cpu0        cpu1        cpu2        cpu3" ] ||
        fail "fg: heads"
    keys q && sleep 0.5 && keys "clear; stty -a | grep -o 'erase = [^;]*'" Enter
    [ "$(tm display -p -t t '#{cursor_flag} #{alternate_on}')" = "1 0" ] || fail "fg, q: the screen left up"
    wait_for "erase = ^H" "fg, q: the shell's change undone"
}

# A call refused by seccomp, made as a key is read, ends the monitor by
# SIGSYS before the key (q) is taken, and the terminal is given back.
# Natively only: an emulator refuses a guest's filters.
if [ -n "$refused_call" ]; then
    new_session -x 80 -y 24 "$plain_shell"
    keys "ulimit -c 0; $(bin="$refused_call $bin" on_table); echo END\"ED=\$?\"" Enter
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "seccomp" && keys q
    wait_for "ENDED=159" "seccomp"
    [ "$(tm display -p -t t '#{cursor_flag} #{alternate_on}')" = "1 0" ] || fail "seccomp: the screen left up"
    stty -a -F "$(tm display -p -t t '#{pane_tty}')" | grep -qw icanon || fail "seccomp: the shell's modes"
else
    echo "signals: a call refused by seccomp is tried natively only (an emulator refuses a guest's filters)"
fi

# Stopped and continued from outside, a message written to the terminal in
# between: the next look repaints the whole screen.
new_session -x 80 -y 24 "env -i PATH=$PATH TERM=screen HOME=$scratch sh -c \"$start\""
wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "stop and continue" && sleep 1.2
kill -STOP "$(monitor_pid)"
printf '\r\nBroadcast message\r\n\r\n' >"$(tm display -p -t t '#{pane_tty}')"
kill -CONT "$(monitor_pid)" && sleep 1.5
[[ "$(line 0)" == *"SINCE COMMAND START"* ]] && ! screen | grep -q Broadcast || fail "stop and continue"

# In bash, tostop set: Ctrl-Z, then kill %1 (TERM, CONT), or a TERM that
# waits for fg, writes nothing; a stop from outside, then kill %1, takes the
# screen down. A stop from outside, the cursor shown and paste marking off
# meanwhile, then fg: the monitor's own modes (keys without Enter), hidden
# cursor and paste marking (a pasted t is no command) are back.
bash_shell="env -i PATH=$PATH TERM=screen HOME=$scratch PS1='$ ' bash --norc --noprofile -i"
for how in kill fg STOP; do
    new_session -x 80 -y 24 "$bash_shell"
    keys "stty tostop; $start" Enter
    wait_for "SINCE COMMAND START" "$how" && p=$(monitor_pid) || continue
    [ $how = STOP ] && kill -STOP -- -"$(ps -o pgid= -p "$p" | tr -d ' ')" || keys C-z
    wait_for "Stopped" "$how" && tm pipe-pane -t t -o "cat >> $scratch/$how" || continue
    [ $how = fg ] && kill -TERM "$p" && keys fg Enter || keys "kill %1" Enter
    keys "sleep 1; echo END\"ED\"" Enter
    wait_for "ENDED" "$how" && ! kill -0 "$p" 2>/dev/null || fail "$how: the job stays"
    [ $how = STOP ] && [ "$(tm display -p -t t '#{cursor_flag} #{alternate_on}')" != "1 0" ] &&
        fail "$how: cursor hidden or the alternate screen on afterwards"
    [ $how != STOP ] && grep -qa $'\e\[?1049l\|\e\[1;24r' "$scratch/$how" && fail "$how: written over the shell"
done
# Stopped from outside, output stopped at the shell, then TERM and CONT: the
# farewell waits for no output, and the shell's file keeps its flags.
new_session -x 80 -y 24 "$bash_shell"
keys "$start" Enter
wait_for "SINCE COMMAND START" "held farewell" && p=$(monitor_pid) &&
    kill -STOP -- -"$(ps -o pgid= -p "$p" | tr -d ' ')" && wait_for "Stopped" "held farewell" && {
    keys C-s && sleep 0.3 && kill -TERM "$p" && kill -CONT "$p" && sleep 2
    ! kill -0 "$p" 2>/dev/null || fail "held farewell: the monitor waits on stopped output"
    keys C-q
    f=$(awk '/^flags/ { print $2 }' "/proc/$(tm display -p -t t '#{pane_pid}')/fdinfo/0")
    [ $(((0$f >> 11) & 1)) = 0 ] || fail "held farewell: the shell's file left non-blocking"
}
# The window resized while stopped from outside: fg draws at the new size.
new_session -x 80 -y 24 "$bash_shell"
keys "$start" Enter
wait_for "SINCE COMMAND START" "fg" && kill -STOP -- -"$(ps -o pgid= -p "$(monitor_pid)" | tr -d ' ')" &&
    wait_for "Stopped" "fg" && {
    tm resize-window -t t -x 100 -y 30 && keys "printf '\\033[?2004l\\033[?25h'; fg" Enter
    expect_line 1 "                         *TOTAL*        cpu0        cpu1        cpu2        cpu3        cpu4" "fg"
    [ "$(tm display -p -t t '#{cursor_flag}')" = 0 ] || fail "fg: the cursor shows"
    stty -a -F "$(tm display -p -t t '#{pane_tty}')" | grep -qw -- -icanon || fail "fg: the shell's modes"
    tm set-buffer -b p t && tm paste-buffer -b p -p -t t && sleep 0.5
    ! screen | grep -q "INTERRUPTS PER SECOND" || fail "fg: a pasted t toggled the mode"
    keys q && sleep 0.5 && keys 'echo QUIT=$?' Enter
    wait_for "QUIT=0" "fg: q"
}

# The screen to a file: nothing goes to the terminal (paste marking, the
# farewell).
new_session -x 80 -y 24 "$plain_shell"
tm pipe-pane -t t -o "cat >> $scratch/raw"
keys "$start >$scratch/screen; echo ENDED=\$?" Enter
sleep 1.5
keys q
wait_for "ENDED=0" "to a file"
grep -q "SINCE COMMAND START" "$scratch/screen" || fail "to a file: no screen in the file"
! grep -qa $'\e\[?2004h\|\e\[?1049l' "$scratch/raw" || fail "to a file: written to the terminal"

[ "$fails" = 0 ] && echo "signals: all checks passed"
exit "$fails"
