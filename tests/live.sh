#!/usr/bin/env bash
# The monitor on a live table served as a big machine's kernel serves it,
# printed afresh at every read, a record at a time as the kernel's sequence
# files print, one call in 20 held up by up to 20 ms before, during or after
# printing, line i counting 100 x (1 + (i + c) % 10) a second on CPU c as
# the moment it was printed has it. Nothing here times the machine: what is
# checked is order and counts, and waits that only a hang runs out.
# - On 1,152 CPUs x 200 lines and 20 per-CPU lines after them, printed as one
#   record of 250 KB as x86 prints them, at 300 ns a byte (or as given), the
#   per-second numbers are within 1% of the truth on rows read at the start
#   of a pass (the first page) and at its end (the last page, those 20), on
#   the next three screens after a prompt or help opened in the middle of a
#   pass and answered seconds later.
# - The first numbers come once the table has been served whole once.
# - A key typed during a pass rings before that pass has read the table.
# - A new size during a pass is drawn in that pass.
# - A table whose read calls cost 40 ms each (or as given) whatever their size
#   is read in large calls: the scan takes at most 16 (with the smallest, 370).
# The others are on 64 CPUs x 2,000 lines (1.5 MB).
#   live.sh BIN LIVE_TABLE [NS_PER_BYTE [NS_PER_CALL]]
set -u
bin=$(realpath "$1")
live=$(realpath "$2")
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"
skip_without_fuse

table() { # cpus, numbered lines, lines after them
    awk -v cpus="$1" -v lines="$2" -v block="$3" 'BEGIN {
        printf "      "; for (c = 0; c < cpus; c++) printf "%-11s", "CPU" c; print ""
        for (i = 0; i < lines + block; i++) {
            if (i < lines) printf "%4d:", i; else printf "PC%d:", i - lines
            for (c = 0; c < cpus; c++) printf " @%d", 100 * (1 + (i + c) % 10)
            print "  IR-PCI-MSI q" i
        }
    }'
}
table 64 2000 0 >"$scratch/table"
table 1152 200 20 >"$scratch/x86"
pace=${3:-300}
percall=${4:-40000000}
held="--held 50:20000000"

# The live table's log: a line a call (offset, asked, given, start, ns).
passes_served() { awk '$3 == 0' "$scratch/log" | wc -l; }
numbered() { [[ "$(line 2)" =~ ^.{20}\ +[0-9] ]]; }
until_true() { # test: waits up to 10 s for it to hold
    for _ in $(seq 1000); do
        eval "$1" && return 0
        sleep 0.01
    done
    return 1
}
mark='screen | grep -q "refresh active"'

# Read calls that cost the same whatever their size: the scan's, up to the
# first that gave nothing, are few.
new_session -x 80 -y 24 "$(on_live "$scratch/table" "0 $percall --log $scratch/log")"
until_true numbered || fail "no numbers at $((percall / 1000000)) ms a read call"
scan=$(awk '{ n++ } $3 == 0 { print n; exit }' "$scratch/log")
echo "live: the scan took ${scan:-no end of} calls at $((percall / 1000000)) ms a read call"
[ -n "$scan" ] && ((scan <= 16)) || fail "the scan took more than 16 calls"
pkill -f "$scratch/mnt" 2>/dev/null

# Slowly, 3 us a byte (4.5 s a pass), so that a pass outlasts any delay of
# the test's own: the first numbers come while the second pass is under way,
# and keys typed during a pass ring before it ends.
rm -f "$scratch/log"
new_session -x 80 -y 24 "$(on_live "$scratch/table" "3000 --records $held --log $scratch/log")"
until_true numbered || fail "no numbers on the slow table"
served=$(passes_served)
echo "live: first numbers after $served whole passes over the table"
[ "$served" = 1 ] || fail "the first numbers came after $served passes over the table, not 1"
tm pipe-pane -t t -o "cat >> $scratch/raw"
rung=0
for n in $(seq 6); do
    until_true "$mark" || break
    sleep "0.$((RANDOM % 10))"
    ended=$(passes_served)
    before=$(tr -cd '\a' <"$scratch/raw" | wc -c)
    keys x
    until_true '[ "$(tr -cd "\a" <"$scratch/raw" | wc -c)" -gt "$before" ]' ||
        fail "key $n: no bell within 10 s"
    [ "$(passes_served)" = "$ended" ] && rung=$((rung + 1))
done
echo "live: $rung of 6 keys typed during a pass rang before it ended"
[ "$rung" = 6 ] || fail "keys typed during a pass waited for its end"
pkill -f "$scratch/mnt" 2>/dev/null

new_session -x 80 -y 24 "$(on_live "$scratch/x86" "$pace --records --block 20 $held")"

# The per-second numbers of every row shown (the total, then CPUs 0 to 3),
# against the truth: line i (PCk: line 200 + k) counts 100 x (1 + (i + c) %
# 10) a second on CPU c of 1,152.
check_rates() { # what
    local bad
    bad=$(screen | sed -n '3,23p' | awk '
        match($0, /^(PC)?[0-9]+:q/) {
            split(substr($0, 1, 20), label, ":"); i = label[1]
            if (i ~ /^PC/) i = 200 + substr(i, 3)
            n = split(substr($0, 21), v, " "); if (n != 5) bad++
            for (k = 1; k <= n; k++) {
                want = 0
                if (k == 1) for (c = 0; c < 1152; c++) want += 100 * (1 + (i + c) % 10)
                else want = 100 * (1 + (i + k - 2) % 10)
                if (v[k] !~ /^[0-9]+$/ || v[k] * 100 < want * 99 || v[k] * 100 > want * 101) {
                    if (++bad <= 3) printf "  row %s, field %d: %s, want %d\n", label[1], k - 1, v[k], want > "/dev/stderr"
                }
            }
        }
        END { print bad + 0 }')
    [ "$bad" = 0 ] || fail "$1: $bad numbers off by more than 1%"
    echo "live: $1: $(screen | sed -n 3p | cut -c1-68)"
}
in_pass() { # waits for a pass to be under way
    until_true "$mark" && return 0
    fail "no pass seen in 10 s"
    return 1
}

wait_for "TOTAL INTERRUPTS SINCE COMMAND START" || exit 1
keys Tab
wait_for "INTERRUPTS PER SECOND" || exit 1
next_paint 6
next_paint 6

trial() { # where, key, the answer after the wait
    in_pass || return
    keys "$2"
    sleep 3
    keys $3
    for n in 1 2 3; do
        next_paint 6 || return
        sleep 0.05
        check_rates "$1, '$2' held 3 s, screen $n"
    done
}
keys End
next_paint 6
for key in h c s; do
    answer=Enter
    [ "$key" = s ] && answer="1 Enter"
    trial "last page" "$key" "$answer"
done
keys Home
next_paint 6
trial "first page" h Enter

# A new size during a pass is drawn in that pass: the title back on top,
# where the shrinking put a row, and the mark at the bottom.
until_true "! $mark"
until_true "$mark"
tm resize-window -t t -x 60 -y 12
until_true '[[ "$(line 0)" == "$(uname -n)   "* && "$(line 11)" == *"refresh active" ]]' ||
    fail "a new size during a pass was not drawn in that pass"

[ "$fails" = 0 ] && echo "live: all checks passed"
exit "$fails"
