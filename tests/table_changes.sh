#!/usr/bin/env bash
# The table changes under the running monitor as a kernel changes it: a line
# comes mid-table, one vanishes and comes back, a count wraps past 2^32, a
# line is freed and allocated again, and CPU3 comes online. The real 8-CPU
# table is rewritten in place step by step; at the end every row's counts
# since start are read from the screen by label and checked, with merging
# and without (-c).
set -u
bin=$(realpath "$1")
data=$(realpath "$2")
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"

# The table at step s (0 to 5), from the real one. Every line gains one
# interrupt on CPU0 a step. CPU3 is offline until step 4, then gains one at
# step 5. Line 26 is there from step 1, line 23 is gone at steps 2 and 3,
# CPU1's count of line 16 wraps at step 3 (4294967000 to 200: 496), and
# line 9 restarts at step 3 with 3 on every CPU.
table() { # step
    awk -v s="$1" '
    function counts_end(str, n,    p, k) {
        p = match(str, /[^ ]/) + length($1)
        for (k = 0; k < n; k++) {
            while (substr(str, p, 1) == " ") p++
            while (substr(str, p, 1) ~ /[0-9]/) p++
        }
        return p
    }
    function emit(label, n, rest,    i, out) {
        out = sprintf("%4s ", label)
        for (i = 0; i < n; i++)
            if (i != 3 || s >= 4) out = out sprintf("%10.0f ", c[i])
        print out rest
    }
    NR == 1 {
        out = sprintf("%11s", "")
        for (i = 0; i < 8; i++)
            if (i != 3 || s >= 4) out = out sprintf("CPU%-8d", i)
        print out
        next
    }
    {
        n = NF >= 9 && $9 ~ /^[0-9]+$/ ? 8 : 1
        rest = substr($0, counts_end($0, n))
        for (i = 0; i < n; i++) c[i] = $(i + 2)
        if ($1 == "23:" && (s == 2 || s == 3)) next
        c[0] += s
        if (n == 8) c[3] = 1000 + (s >= 5)
        if ($1 == "16:") c[1] = s < 3 ? 4294967000 : 200
        if ($1 == "9:" && s >= 3) {
            for (i = 1; i < 8; i++) if (i != 3) c[i] = 3
            c[0] = s
        }
        emit($1, n, rest)
        if ($1 == "25:" && s >= 1) {
            c[0] = 100 + s
            for (i = 1; i < 8; i++) if (i != 3) c[i] = 100
            emit("26:", 8, " IR-PCI-MSI 1-edge      new")
        }
    }' "$data/interrupts-8cpu-x86_64.txt"
}

# What each row must show since start after step 5: the total, then CPU0 to CPU7.
want() { # row name
    case $1 in
    XXX:dmar*) echo "12 10 0 0 2 0 0 0 0" ;; # dmar0 and dmar1 together
    26:*) echo "5 4 0 0 1 0 0 0 0" ;;
    16:*) echo "502 5 496 0 1 0 0 0 0" ;;
    9:*) echo "26 7 3 3 1 3 3 3 3" ;;
    ERR:* | MIS:*) echo "5 5 0 0 0 0 0 0 0" ;; # one count: CPU3 has none there
    *) echo "6 5 0 0 1 0 0 0 0" ;;
    esac
}

# The rows on screen: name, then the total and each CPU's count.
rows() {
    screen | awk 'NR > 2 && !/^\(h\)elp/ && NF > 1 {
        name = substr($0, 1, 20); sub(/ +$/, "", name)
        print name "|" substr($0, 21)
    }'
}

first_row() { # merged
    [ "$1" = merged ] && echo "XXX:timer" || echo "0:2-edge      timer"
}

# Waits until the first row shows `count` on CPU0: the pass after the step was taken.
wait_cpu0() { # row, count, what
    for _ in $(seq 100); do
        rows | awk -F'|' -v r="$1" -v n="$2" '$1 == r { split($2, v, " "); if (v[2] == n) ok = 1 } END { exit !ok }' && return 0
        sleep 0.1
    done
    fail "$3: waiting for $1 to show $2 on cpu0"
    return 1
}

run() { # merged or -c
    local how=$1 flag="" first
    [ "$how" = "-c" ] && flag=-c
    first=$(first_row "$how")
    table 0 >"$scratch/table"
    new_session -x 150 -y 50 "env -i PATH=$PATH TERM=screen HOME=$scratch $(on_table "$flag")"
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "$how" || return
    wait_cpu0 "$first" 0 "$how" || return
    for s in 1 2 3 4 5; do
        # The prompt holds the monitor still while the table is rewritten, so
        # that no pass reads it half written.
        keys s
        wait_for "Refresh rate (sec)?" "$how, step $s" || return
        table "$s" >"$scratch/table.new"
        cat "$scratch/table.new" >"$scratch/table"
        keys Enter
        wait_cpu0 "$first" "$s" "$how, step $s" || return
    done
    local got rows_seen=0
    while IFS='|' read -r name counts; do
        rows_seen=$((rows_seen + 1))
        got=$(echo $counts)
        [ "$got" = "$(want "$name")" ] || fail "$how: row $name" "got:  $got" "want: $(want "$name")"
    done < <(rows)
    local lines
    lines=$(table 5 | sed 1d | wc -l)
    # Every line has a row; with merging, dmar0 and dmar1 share one.
    [ "$how" = merged ] && lines=$((lines - 1))
    # Line 23 vanished and came back: it kept its row.
    [ "$rows_seen" = "$lines" ] || fail "$how: $rows_seen rows on screen, want $lines"
    [ "$(screen | sed -n 2p | awk '{print $2, $3, $4, $5, $6}')" = "cpu0 cpu1 cpu2 cpu3 cpu4" ] ||
        fail "$how: CPU3's column stands between cpu2 and cpu4"
    keys q
}

run -c
run merged

[ "$fails" = 0 ] && echo "table_changes: all checks passed"
exit "$fails"
