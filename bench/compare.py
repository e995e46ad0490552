#!/usr/bin/env python3
"""Two builds' benchmarks side by side: runs them in turn, ROUNDS times each,
and prints per table the median of the per-round ratios (second build over
first) of the pass and of the paired pass / floor, with each build's medians.
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
        if len(w) == 8 and re.fullmatch(tables, w[0]) and float(w[1]) > 0:
            got[w[0]] = (float(w[1]), float(w[4]))  # pass (ms), paired pass / floor
    return got


runs = []
for r in range(rounds):
    runs.append((run(before), run(after)))
    print(f"round {r + 1} of {rounds} done", file=sys.stderr)

print(f"{'table':18} {'pass ms, 1st':>12} {'2nd':>8} {'ratio':>7}   "
      f"{'paired, 1st':>11} {'2nd':>6} {'ratio':>7}")
for name in runs[0][0]:
    p1 = [b[name][0] for b, a in runs]
    p2 = [a[name][0] for b, a in runs]
    q1 = [b[name][1] for b, a in runs]
    q2 = [a[name][1] for b, a in runs]
    pr = statistics.median(y / x for x, y in zip(p1, p2))
    qr = statistics.median(y / x for x, y in zip(q1, q2))
    print(f"{name:18} {statistics.median(p1):12.3f} {statistics.median(p2):8.3f} {pr:7.3f}   "
          f"{statistics.median(q1):11.2f} {statistics.median(q2):6.2f} {qr:7.3f}")
