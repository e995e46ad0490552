#!/usr/bin/env bash
# The monitor on a live table as slow as a big machine's kernel: 64 CPUs x
# 2,000 lines (1.5 MB), printed afresh at every read at 340 ns a byte, half a
# second a pass, line i counting 100 x (1 + (i + c) % 10) a second on CPU c.
# A prompt or help opened in the middle of a pass and answered seconds later
# leaves the per-second numbers of the next three screens within 2% of the
# truth, on rows read before the key (the first page) and after it (the last
# page). A key pressed during a pass is answered within 25 ms of the end of
# the read under way.
#   live.sh BIN LIVE_TABLE
set -u
bin=$(realpath "$1")
live=$(realpath "$2")
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"
skip_without_fuse

awk 'BEGIN {
    printf "      "; for (c = 0; c < 64; c++) printf "%-11s", "CPU" c; print ""
    for (i = 0; i < 2000; i++) {
        printf "%4d:", i; for (c = 0; c < 64; c++) printf " @%d", 100 * (1 + (i + c) % 10)
        print "  IR-PCI-MSI q" i
    }
}' >"$scratch/table"
pace=340

# The per-second numbers of every row shown (the total, then CPUs 0 to 3),
# against the truth.
check_rates() { # what
    local bad=0 line i c k want v
    while read -r line; do
        [[ "$line" =~ ^([0-9]+):q ]] || continue
        i=${BASH_REMATCH[1]}
        read -r -a v <<<"${line:20}"
        [ "${#v[@]}" = 5 ] || bad=$((bad + 1))
        for k in "${!v[@]}"; do
            want=0
            if [ "$k" = 0 ]; then
                for c in $(seq 0 63); do want=$((want + 100 * (1 + (i + c) % 10))); done
            else
                want=$((100 * (1 + (i + k - 1) % 10)))
            fi
            if ! [[ "${v[$k]}" =~ ^[0-9]+$ ]] || ((v[k] * 100 < want * 98 || v[k] * 100 > want * 102)); then
                bad=$((bad + 1))
                [ $bad -le 3 ] && echo "  row $i, field $k: ${v[$k]}, want $want"
            fi
        done
    done < <(screen | sed -n '3,23p')
    [ "$bad" = 0 ] || fail "$1: $bad numbers off by more than 2%"
    echo "live: $1: $(screen | sed -n 3p | cut -c1-68)"
}
in_pass() { # waits for a pass to be under way
    for _ in $(seq 500); do
        screen | grep -q "refresh active" && return 0
        sleep 0.01
    done
    fail "no pass seen in 5 s"
    return 1
}

new_session -x 80 -y 24 "$(on_live "$scratch/table" $pace)"
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

# A key typed during a pass rings at once, or as soon as the read under way
# ends: a read of the monitor's 1 MiB at this pace takes 357 ms.
read_ms=$((1048576 * pace / 1000000))
tm pipe-pane -t t -o "cat >> $scratch/raw"
widest=0
for n in $(seq 8); do
    in_pass || break
    before=$(tr -cd '\a' <"$scratch/raw" | wc -c)
    t0=${EPOCHREALTIME/./}
    keys x
    for _ in $(seq 1000); do
        [ "$(tr -cd '\a' <"$scratch/raw" | wc -c)" -gt "$before" ] && break
        sleep 0.002
    done
    ms=$(((${EPOCHREALTIME/./} - t0) / 1000))
    ((ms > widest)) && widest=$ms
    ((ms <= read_ms + 25)) || fail "a key during a pass waited $ms ms, more than $read_ms + 25"
    next_paint 6
done
echo "live: widest wait for a key during a pass: $widest ms (a read: $read_ms ms)"

[ "$fails" = 0 ] && echo "live: all checks passed"
exit "$fails"
