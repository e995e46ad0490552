#!/usr/bin/env python3
"""Two builds' benchmarks side by side: runs them in turn, ROUNDS times each,
and prints per table the median of the per-round ratios (second build over
first) of the pass, of the pass timed back to back with a read of the file
("paired") and of the paired pass / floor, with each build's medians.
One run of this machine drifts by more than the differences looked for;
interleaved rounds let the drift touch both builds alike.

    bench/compare.py BEFORE/kevrane_bench AFTER/kevrane_bench [ROUNDS] [REGEX]
"""
import re
import statistics
import subprocess
import sys

before, after = sys.argv[1], sys.argv[2]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
tables = sys.argv[4] if len(sys.argv) > 4 else "real-1152|shaped-8192x1000|8192x1000"
only = f"--benchmark_filter=^(pass|floor|paired)/({tables})$"


def run(bench):
    out = subprocess.run([bench, only, "--benchmark_repetitions=3"], capture_output=True,
                         text=True, check=True).stdout
    got = {}
    for line in out.splitlines():
        w = line.split()
        if len(w) == 9 and re.fullmatch(tables, w[0]) and float(w[1]) > 0:
            # pass (ms), paired pass (ms), paired pass / floor
            got[w[0]] = (float(w[1]), float(w[5]), float(w[4]))
    return got


runs = []
for r in range(rounds):
    runs.append((run(before), run(after)))
    print(f"round {r + 1} of {rounds} done", file=sys.stderr)

print(f"{'table':18}" + "".join(f"{h + ', 1st':>17} {'2nd':>8} {'ratio':>6}"
                                 for h in ("pass ms", "paired ms", "paired/floor")))
for name in runs[0][0]:
    line = f"{name:18}"
    for i in range(3):
        first = [b[name][i] for b, a in runs]
        second = [a[name][i] for b, a in runs]
        ratio = statistics.median(y / x for x, y in zip(first, second))
        line += f"{statistics.median(first):17.3f} {statistics.median(second):8.3f} {ratio:6.3f}"
    print(line)
