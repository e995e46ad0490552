#!/usr/bin/env bash
# A kernel that prints slowly: key waits timed through a pseudo-terminal
# (bench/latency.py), the monitor's read calls a pass, the longest request,
# and the first numbers, on live tables served as the kernel's sequence files
# serve them, one call in 20 held up by up to 20 ms before, during or after
# printing: live.sh's table (64 CPUs x 2,000 lines) and one of
# wide lines (8,192 CPUs x 100 lines and a block of 20 per-CPU lines, one
# record, as x86 prints them) at 40 and 300 ns a byte; then on live.sh's
# table giving all that is asked, at 300 ns a byte, and at 40 ms a call (or
# as given).
#   bench/pace.sh BIN LIVE_TABLE [NS_PER_CALL]
# (LIVE_TABLE: a build of tests/live_table.cpp, such as build-test/tests/live_table.)
set -u
bin=$(realpath "$1")
live=$(realpath "$2")
here=$(dirname "$0")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
table() { # cpus lines per-cpu-lines
    awk -v cpus="$1" -v lines="$2" -v block="$3" 'BEGIN {
        printf "      "; for (c = 0; c < cpus; c++) printf "%-11s", "CPU" c; print ""
        for (i = 0; i < lines + block; i++) {
            if (i < lines) printf "%4d:", i; else printf "%s%d:", "PC", i - lines
            for (c = 0; c < cpus; c++) printf " @%d", 100 * (1 + (i + c) % 10)
            print "  IR-PCI-MSI q" i
        }
    }'
}
table 64 2000 0 >"$scratch/64cpu"
table 8192 100 20 >"$scratch/8192cpu"
held="--held 50:20000000"
for pace in 40 300; do
    "$here/latency.py" --live "$live" "$scratch/64cpu" "$pace --records $held" "$bin" 20
    "$here/latency.py" --live "$live" "$scratch/8192cpu" "$pace --records --block 20 $held" "$bin" 20
done
# A source that gives all that is asked, at a cost per byte or per call.
"$here/latency.py" --live "$live" "$scratch/64cpu" "300 $held" "$bin" 20
"$here/latency.py" --live "$live" "$scratch/64cpu" "0 ${3:-40000000}" "$bin" 4
