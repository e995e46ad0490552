#!/usr/bin/env bash
# Per second is per second. The real 4-CPU table, in which line 1 counts
# 1,000 a second on CPU0 and 300 on CPU1, is rewritten in place fifty times a
# second under the running monitor in per-second mode. Keys that repaint
# between refreshes leave the rates as they are. With libfaketime (given
# natively), the wall clock then steps back an hour and forward two: the
# refreshes keep their pace, the rates stay right and the title clock shows
# the new wall time.
# With --live, the table is a live one served through FUSE (a build of
# tests/live_table.cpp), printed afresh at every read as slowly as an
# 8,192-CPU machine's kernel prints its table: 1.2 s a read.
#   rates.sh [--live LIVE_TABLE] BIN DATA [LIBFAKETIME]
set -u
live=
if [ "${1:-}" = --live ]; then
    live=$(realpath "$2")
    shift 2
fi
bin=$(realpath "$1")
data=$(realpath "$2")
faketime=${3:-}
if [ -n "$faketime" ] && [ ! -f "$faketime" ]; then
    echo "rates: no libfaketime at '$faketime' (Debian's libfaketime)"
    exit 1
fi
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"

# The table with line 1's first two counts left to printf.
sed 's/%/%%/g; s/^  1:          0          0 /  1: %10d %10d /' \
    "$data/interrupts-4cpu-x86_64-procfs.txt" >"$scratch/format"
grep -q '^  1: %10d %10d ' "$scratch/format" || {
    echo "rates: line 1 of the table is not as expected"
    exit 1
}
format=$(cat "$scratch/format")
# Counts from the real wall clock, which nothing here steps. Every count keeps
# its width, so the file is rewritten without being cut short.
write_table() {
    local t0=${EPOCHREALTIME/./} table us
    while :; do
        us=$((${EPOCHREALTIME/./} - t0))
        printf -v table "$format" $((us / 1000)) $((us * 3 / 10000))
        printf '%s\n' "$table" 1<>"$scratch/table"
        sleep 0.02
    done
}
if [ -n "$live" ]; then
    skip_without_fuse
    sed 's/^  1: %10d %10d /  1: @1000 @300 /; s/%%/%/g' "$scratch/format" >"$scratch/template"
    pace=$((1200000000 / $(wc -c <"$scratch/template")))
else
    printf "$format\n" 0 0 >"$scratch/table"
    write_table &
    on_exit="kill $!"
fi

row() { screen | grep -m 1 '^1:1-edge      i8042'; }
check_rates() { # what
    local r total c0 c1
    r=$(row)
    read -r total c0 c1 _ <<<"${r:20}"
    echo "rates: $1: CPU0 $c0, CPU1 $c1"
    if ! [[ "$c0" =~ ^[0-9]+$ && "$c1" =~ ^[0-9]+$ ]] ||
        ((c0 < 900 || c0 > 1100 || c1 < 270 || c1 > 330)); then
        fail "$1" "got CPU0 '$c0', CPU1 '$c1' a second; want 1000 and 300 within 10%" "$r"
    fi
}
# How far the title clock stands from the real wall clock, in seconds.
clock_offset() {
    local shown real d
    shown=$(clock)
    real=$(date +%T)
    d=$((($(date -d "$shown" +%s) - $(date -d "$real" +%s) + 86400 + 43200) % 86400 - 43200))
    echo "$d"
}

run_monitor() { # environment
    if [ -n "$live" ]; then
        new_session -x 80 -y 24 "$(on_live "$scratch/template" "$pace" "" "$1")"
    else
        new_session -x 80 -y 24 "$1 $(on_table)"
    fi
    wait_for "TOTAL INTERRUPTS SINCE COMMAND START" || exit 1
    keys Tab
    wait_for "INTERRUPTS PER SECOND" || exit 1
    next_paint
}

run_monitor ""
# A key that repaints (the window is at its top left already), pressed a
# fifth of a second after a refresh; the rates are read from its repaint and
# from the refresh after it.
for key in Up C-l PPage Left Home s; do
    next_paint || break
    sleep 0.2
    if [ "$key" = s ]; then
        keys s
        wait_for "Refresh rate (sec)?"
        keys Enter
    else
        keys "$key"
    fi
    sleep 0.15
    check_rates "repaint after $key"
    next_paint
    sleep 0.05
    check_rates "refresh after $key"
done

if [ -n "$faketime" ]; then
    echo "+0" >"$scratch/faketime"
    run_monitor "LD_PRELOAD=$faketime FAKETIME_TIMESTAMP_FILE=$scratch/faketime FAKETIME_NO_CACHE=1 FAKETIME_DONT_FAKE_MONOTONIC=1"
    for step in -3600 +3600; do
        echo "$step" >"$scratch/faketime.new"
        mv "$scratch/faketime.new" "$scratch/faketime"
        for _ in 1 2 3; do
            next_paint || break 2
            sleep 0.05
            check_rates "after the wall clock went to $step s"
        done
        d=$(clock_offset)
        ((d >= step - 5 && d <= step + 5)) ||
            fail "the title clock stands $d s from the real one, not $step s"
    done
else
    echo "rates: no libfaketime given: the wall clock is not stepped"
fi

[ "$fails" = 0 ] && echo "rates: all checks passed"
exit "$fails"
