#!/usr/bin/env bash
# The built binary in a real terminal: tmux at 80 x 24, a real table
# bind-mounted over /proc/interrupts in a private mount namespace, keys sent as
# a terminal sends them, the screen read back and the bells counted from the
# pane's raw output.
set -u
bin=$(realpath "$1")
data=$(realpath "$2")
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"

bells() { tr -cd '\a' <"$scratch/raw" | wc -c; }
expect_bells() {
    local got
    got=$(bells)
    [ "$got" = "$1" ] || fail "bells" "got $got, want $1"
}
# Rewrites the table in place: the bind mount holds on to the file itself.
edit_table() {
    sed "$1" "$scratch/table" >"$scratch/table.new"
    cat "$scratch/table.new" >"$scratch/table"
}

cp "$data/interrupts-8cpu-x86_64.txt" "$scratch/table"
tm new-session -d -s t -x 80 -y 24 "env -i PATH=$PATH TERM=screen HOME=$scratch bash --norc --noprofile"
tm pipe-pane -t t -o "cat >> $scratch/raw"
keys "PS1='$ '; clear" Enter
# The sanitizers' exit-time leak check would change the exit status of a
# process that ends through exit() with its tables still in use.
keys "$(on_table "-c extra"); echo EXIT=\$?" Enter

host=$(uname -n)
wait_for "TOTAL INTERRUPTS SINCE COMMAND START" || exit 1
sleep 1.5
# Merging is off (-c): the timer line keeps its own name.
expect_line 1 "                         *TOTAL*        cpu0        cpu1        cpu2        cpu3"
expect_line 2 "0:2-edge      timer            0           0           0           0           0"
expect_line 23 "(h)elp, (t)oggle-screens, arrows, etc"
[[ "$(line 0)" == "$host   TOTAL INTERRUPTS SINCE COMMAND START"* ]] || fail "title" "$(line 0)"
[[ "$(line 0)" =~ [0-9]{2}:[0-9]{2}:[0-9]{2}\ [0-9]{4}$ ]] || fail "clock at the end of line 0"

# Counts move: since command start shows the differences.
edit_table 's/^  1:         10         11 /  1:         15         14 /'
wait_for "1:1-edge      i8042            8           5           3" || true
expect_line 3 "1:1-edge      i8042            8           5           3           0           0"

# Per second, then since boot: the table's own counts.
keys Tab
wait_for "INTERRUPTS PER SECOND"
keys t
wait_for "TOTAL INTERRUPTS SINCE BOOT"
sleep 0.3
expect_line 3 "1:1-edge      i8042           53          15          14           7           5"
expect_line 22 "LOC:timer interrupts    95861098    18017794     5791007    18785621     5656822"
keys t
wait_for "TOTAL INTERRUPTS SINCE COMMAND START"

# Paging with the keys the terminal sends: 38 rows, pages of 21.
keys NPage
wait_for "34:442368-edge      "
keys Right
wait_for "        cpu4        cpu5        cpu6        cpu7"
keys Home
wait_for "0:2-edge      timer"
expect_line 1 "                         *TOTAL*        cpu0        cpu1        cpu2        cpu3"
keys End
wait_for "PIW:wakeup event"
keys PPage
wait_for "0:2-edge      timer"
expect_bells 0

# An unknown key rings once.
keys x
sleep 0.5
expect_bells 1

# What a terminal sends as one unit is one key, rung once, and none acts as a
# command: clicks (on q, c, h, 5), replies longer than 32 bytes, strings,
# characters beyond ASCII, Alt with Tab, Enter and Backspace, and a paste.
unit() { tm send-keys -t t -H $(printf "$1" | od -An -v -tx1) && sleep 0.2; }
for u in '\e[M q%%' '\e[M c%%' '\e[M h!' '\e[M 5!' '\e[?64;1;2;6;9;15;16;17;18;21;22;28c' \
    '\e[1;2;3;4;5;6;7;8;9;10;11;12;13;14q' '\e]11;rgb:0000/0000/0000\e\\' \
    '\eP1+r544e=787465726d\e\\' '\xc3\xa9' '\xe2\x82\xac' '\e\t' '\e\r' '\e\x7f'; do
    unit "$u"
done
tm set-buffer -b k 'tq6' && tm paste-buffer -b k -p -t t && sleep 0.5
# A paste whose bytes stop for a while midway, as over a slow link.
unit '\e[200~hello ' && sleep 0.3 && unit 'q two\e[201~'
expect_bells 16
expect_line 2 "0:2-edge      timer            0           0           0           0           0" "units"
[[ "$(line 0)" == *"SINCE COMMAND START"* ]] || fail "units: the mode changed" "$(line 0)"
# A megabyte's paste is gone at once: a key after it is answered within two
# seconds (read a byte a read, it waited six and more).
head -c 1000000 /dev/zero | tr '\0' q >"$scratch/big"
tm load-buffer -b big "$scratch/big" && tm paste-buffer -b big -p -t t && keys t
t0=${EPOCHREALTIME/./}
wait_for "INTERRUPTS PER SECOND" "a key after a large paste" &&
    (((${EPOCHREALTIME/./} - t0) < 2000000)) || fail "a key after a large paste waited over 2 s"
keys t t
wait_for "SINCE COMMAND START"
expect_bells 17

# A larger terminal: five CPU columns and the prompt line at the bottom.
tm resize-window -t t -x 100 -y 30
wait_for "        cpu4"
expect_line 29 "(h)elp, (t)oggle-screens, arrows, etc"
expect_bells 17
tm resize-window -t t -x 80 -y 24
wait_for "        cpu3"

# The prompts.
keys c
wait_for "Leftmost cpu?"
keys 6 Enter
wait_for "        cpu6        cpu7"
keys s
wait_for "Refresh rate (sec)?"
keys 2 Enter
sleep 0.5
wait_for "(h)elp, (t)oggle-screens"

# The help screen and back.
keys h
wait_for "Kevrane help:"
expected_help=(
    " Kevrane help:"
    "    h            - help (this screen)"
    "    q            - quit"
    "    t            - toggle between total and incremental mode"
    "    c            - specify the leftmost cpu number"
    "    s            - specify the refresh rate"
    "    CTL-L        - redraw screen"
    "    HOME         - position to TOP/LEFT"
    "    END          - position to BOTTOM/LEFT"
    "    PAGE UP/DOWN - up/down pagesize"
    "    Arrow keys   - position up/down/left/right"
    ""
    "        CR - to return to display"
)
for i in "${!expected_help[@]}"; do
    expect_line $((i + 2)) "${expected_help[$i]}"
done
keys Enter
wait_for "(h)elp, (t)oggle-screens"

# Quit: status 0 and the terminal back in its normal modes.
keys q
wait_for "EXIT=0"
keys "stty -a | tr ' ' '\n' | grep -x -e echo -e icanon -e -echo -e -icanon | tr '\n' ' '; echo" Enter
wait_for "icanon echo"
expect_bells 17

# A long node name, in a private UTS namespace: each mode's title reads whole,
# the clock one blank after it where the title reaches the clock's column
# (56, four CPU columns), cut at the screen's edge.
long=dbserver01.prod.dc1.example.com
keys "clear; ASAN_OPTIONS=detect_leaks=0 unshare -rmu sh -c 'hostname $long && mount --bind $scratch/table /proc/interrupts && exec $bin'; echo EXIT=\$?" Enter
d='[0-9]'
for want in "TOTAL INTERRUPTS SINCE COMMAND START [A-Z][a-z]{2} [A-Z][a-z]{2}( $d)?" \
    "INTERRUPTS PER SECOND [A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]$d $d$d:$d$d:$d$d $d{4}" \
    "TOTAL INTERRUPTS SINCE BOOT [A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]$d $d$d:$d$d:$d"; do
    wait_for "$long   ${want%% \[*}"
    for _ in $(seq 50); do
        [[ "$(line 0)" =~ ^"$long   "${want}$ ]] && break
        sleep 0.1
    done
    [[ "$(line 0)" =~ ^"$long   "${want}$ ]] || fail "title and clock" "got:  '$(line 0)'" "want: '$long   $want'"
    keys t
done
keys q
wait_for "EXIT=0"

# A 13-digit count and total (a big machine since boot) get a blank before
# them and push the row right; the field that would pass the edge is left out
# whole, never cut.
keys "clear" Enter
sed 's/^LOC:   18017794 /LOC: 3268308804123 /' "$data/interrupts-8cpu-x86_64.txt" >"$scratch/table"
keys "$(on_table -c); echo EXIT=\$?" Enter
wait_for "TOTAL INTERRUPTS SINCE COMMAND START" || exit 1
keys t t
wait_for "TOTAL INTERRUPTS SINCE BOOT"
loc="LOC:timer interrupts 3268386647427 3268308804123     5791007    18785621"
expect_line 22 "$loc" "80 columns"
tm resize-window -t t -x 100 -y 24
expect_line 22 "$loc     5656822    18296406" "100 columns"
tm resize-window -t t -x 80 -y 24
expect_line 22 "$loc" "80 columns again"

# F5 and Ctrl-Right are one unknown key each: one bell, nothing moves.
was=$(bells)
keys F5
keys C-Right
sleep 0.5
expect_bells $((was + 2))
expect_line 1 "                         *TOTAL*        cpu0        cpu1        cpu2        cpu3"
# At a prompt an arrow is not typed: c, Left, 4, Enter shows CPU 4 first.
keys c Left 4 Enter
wait_for "        cpu4        cpu5        cpu6        cpu7"
expect_bells $((was + 2))
keys Home
wait_for "        cpu0        cpu1        cpu2        cpu3"

# A prompt and help stay up, whole, when the terminal changes size.
keys c 6
wait_for "Leftmost cpu? 6"
tm resize-window -t t -x 90 -y 20
expect_line 19 "Leftmost cpu? 6" "the prompt after a resize"
keys Enter
wait_for "        cpu6        cpu7"
tm resize-window -t t -x 80 -y 24
keys Home h
wait_for "Kevrane help:"
tm resize-window -t t -x 50 -y 8
wait_for " Kevrane help:"
tm resize-window -t t -x 80 -y 24
expect_line 14 "        CR - to return to display" "help after a resize"
expect_line 3 "    h            - help (this screen)" "help after a resize"
keys Enter
wait_for "(h)elp, (t)oggle-screens"

# The cursor shows only at a prompt, where it stands after the reply.
cursor() { tm display -p -t t '#{cursor_flag} #{cursor_x} #{cursor_y}'; }
keys s 1 2 BSpace
wait_for "Refresh rate (sec)? 1" && sleep 0.3
[ "$(cursor)" = "1 21 23" ] || fail "the cursor at a prompt" "got:  $(cursor)" "want: 1 21 23"
keys Enter && sleep 0.3
[[ "$(cursor)" == 0* ]] || fail "the cursor shows over the grid"
keys q
wait_for "EXIT=0"
[[ "$(cursor)" == 1* ]] || fail "the cursor hidden after the monitor ended"

# Without an alternate screen (a vt100, a server's console) the shell goes
# on from an empty bottom line.
keys "clear; TERM=vt100 $(on_table); echo EXIT=\$?" Enter
wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "vt100" && sleep 1.2
keys q
wait_for "EXIT=0" "vt100"
expect_line 22 "EXIT=0" "vt100: the shell's line"

# A prompt whose keys come to their end after a resize: the whole screen.
keys "clear; (sleep 1.5; printf c; sleep 2) | $(on_table); echo EXIT=\$?" Enter
wait_for "Leftmost cpu?" "keys that end at a prompt" && {
    tm resize-window -t t -x 90 -y 20
    sleep 3
    expect_line 1 "                         *TOTAL*        cpu0        cpu1        cpu2        cpu3" "keys that end at a prompt"
    expect_line 19 "(h)elp, (t)oggle-screens, arrows, etc" "keys that end at a prompt"
    kill -TERM "$(monitor_pid)"
    wait_for "EXIT=143" "SIGTERM"
}
tm resize-window -t t -x 80 -y 24

# A terminal that cannot place the cursor is refused before anything is drawn.
keys "clear; TERM=dumb $(on_table); echo EXIT=\$?" Enter
wait_for "EXIT=" || exit 1
expect_line 0 "kevrane: terminal type 'dumb' cannot place the cursor" "TERM=dumb"
expect_line 1 "EXIT=1" "TERM=dumb"

[ "$fails" = 0 ] && echo "terminal: all checks passed"
exit "$fails"
