#!/usr/bin/env bash
# A long run on a table that changes every second (counts move, lines and CPU
# columns come and go), sampling the monitor's resident memory as it goes.
# Fails if memory grows after the first sampling interval.
#   soak.sh BINARY SECONDS
set -u
bin=$(realpath "$1")
seconds=${2:-60}
scratch=$(mktemp -d)
. "$(dirname "$0")/tmux.sh"

# A kernel-like table at second t: 48 CPUs (one offline every third period),
# 300 device lines (ten fewer every other period) and the architecture lines.
table() {
    awk -v t="$1" 'BEGIN {
        cpus = 48; off = (int(t / 10) % 3 == 2) ? 7 : -1
        lines = (int(t / 5) % 2) ? 290 : 300
        printf "%11s", ""
        for (c = 0; c < cpus; c++) if (c != off) printf "CPU%-8d", c
        printf "\n"
        for (i = 0; i < lines; i++) {
            printf "%4d: ", i
            for (c = 0; c < cpus; c++) if (c != off) printf "%10u ", (i * 7919 + c * 104729) % 100000 + t * (i % 5) * (c + 1)
            printf " IR-PCI-MSI %d-edge      dev%d\n", 100000 + i, i % 3 ? i : 0
        }
        printf " LOC: "
        for (c = 0; c < cpus; c++) if (c != off) printf "%10u ", 1000 * t + c
        printf "  Local timer interrupts\n ERR: %10u\n", 0
    }'
}
table 0 >"$scratch/table"
tm new-session -d -s t -x 120 -y 40 \
    "ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=0 unshare -rm sh -c 'mount --bind $scratch/table /proc/interrupts && exec $bin'; sleep 60"
wait_for "TOTAL INTERRUPTS SINCE COMMAND START" "start-up" || exit 1
pid=$(monitor_pid)
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null; }
[ -n "$pid" ] && [[ "$(rss)" =~ ^[0-9]+$ ]] || { echo "FAIL no resident memory figure for the monitor (pid '$pid')"; exit 1; }

keys=(t t Tab NPage Right End Home Left t)
samples=()
for ((s = 1; s <= seconds; s++)); do
    table "$s" >"$scratch/table.new"
    cat "$scratch/table.new" >"$scratch/table"
    tm send-keys -t t "${keys[$((s % ${#keys[@]}))]}"
    sleep 1
    [ -d "/proc/$pid" ] || { echo "FAIL the monitor ended after $s s"; screen; exit 1; }
    if ((s % 10 == 0)); then
        kib=$(rss)
        [[ "$kib" =~ ^[0-9]+$ ]] || { echo "FAIL no resident memory figure after $s s"; exit 1; }
        samples+=("$kib")
        echo "after ${s} s: resident $kib KiB"
    fi
done
if ((${#samples[@]} < 2 || ${#samples[@]} != seconds / 10)); then
    echo "FAIL ${#samples[@]} memory samples over $seconds s"
    exit 1
fi
grow=$((samples[-1] - samples[0]))
echo "resident memory from ${samples[0]} KiB to ${samples[-1]} KiB over $((seconds - 10)) s"
# Allow for pages first touched late (a window not yet shown, a row first fed).
if ((grow > 1024)); then
    echo "FAIL resident memory grew by $grow KiB"
    exit 1
fi
echo "soak: resident memory flat"
