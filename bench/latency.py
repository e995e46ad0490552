#!/usr/bin/env python3
"""How long a key waits for its answer in the running monitor.

    bench/latency.py BINARY BENCH [CPUS LINES [KEYS]]
    bench/latency.py --live LIVE_TABLE TEMPLATE 'NS_PER_BYTE [OPTIONS]' BINARY [KEYS]

Starts BINARY in a pseudo-terminal of 80 x 24 on a kernel-format table of
CPUS x LINES (default 8192 x 1000, written by BENCH --table) bind-mounted over
/proc/interrupts in a private mount namespace, types an unknown key (x) at
random moments, in passes and pauses alike, and times each until its bell
arrives. Prints the median and the longest wait.

With --live, the table is LIVE_TABLE (a build of tests/live_table.cpp)
serving TEMPLATE at that pace with those options. Then it also prints when
the first numbers came (with the frame, the first screen) and how many
passes the table had served whole by then, the monitor's own read calls a
pass while the keys were typed (its count of read system calls, less one a
key), and the longest request in the table's log (FUSE splits a read of
more than 1 MiB into several).
"""
import fcntl
import os
import pty
import random
import select
import struct
import subprocess
import sys
import tempfile
import termios
import time


def passes(log):
    """Passes the live table has served whole: calls that gave nothing."""
    with open(log) as f:
        return sum(1 for line in f if line.split()[2:3] == ["0"])


def main():
    live = sys.argv[1] == "--live"
    scratch = tempfile.TemporaryDirectory(prefix="kevrane-latency-")
    log = os.path.join(scratch.name, "log")
    if live:
        server, template, how, binary = sys.argv[2:6]
        keys = int(sys.argv[6]) if len(sys.argv) > 6 else 40
        what = f"{os.path.basename(template)} at {how}"
        mnt = os.path.join(scratch.name, "mnt")
        os.mkdir(mnt)
        script = ('"$0" "$1" "$2" $3 --log "$4" & '
                  'for i in $(seq 200); do [ -e "$1/interrupts" ] && break; sleep 0.05; done; '
                  'mount --bind "$1/interrupts" /proc/interrupts && exec "$5"')
        argv = ["unshare", "-rm", "sh", "-c", script, server, mnt, template, how, log, binary]
    else:
        binary, bench = sys.argv[1], sys.argv[2]
        cpus, lines = (int(sys.argv[3]), int(sys.argv[4])) if len(sys.argv) > 4 else (8192, 1000)
        keys = int(sys.argv[5]) if len(sys.argv) > 5 else 40
        what = f"{cpus} x {lines}"
        table = os.path.join(scratch.name, "table")
        with open(table, "w") as t:
            subprocess.run([bench, "--table", str(cpus), str(lines)], stdout=t, check=True)
        script = 'mount --bind "$0" /proc/interrupts && exec "$1"'
        argv = ["unshare", "-rm", "sh", "-c", script, table, binary]

    started = time.monotonic()
    pid, fd = pty.fork()
    if pid == 0:
        os.environ["TERM"] = "vt100"
        os.execvp("unshare", argv)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))

    def read_for(seconds, until=None):
        """Reads output for up to `seconds`; returns the time `until` was seen, or None."""
        end = time.monotonic() + seconds
        seen = b""
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return None
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:
                    sys.exit("the monitor ended")
                now = time.monotonic()
                seen += chunk
                if until is not None and until in seen:
                    return now
                seen = seen[-64:]

    first = read_for(60, b"SINCE COMMAND START")
    if first is None:
        sys.exit("the monitor did not start")
    if live:
        print(f"{what}: first screen after {(first - started) * 1000:.0f} ms "
              f"(the live table mounted, then the scan), {passes(log)} passes served by then")
    read_for(2)
    def reads():
        with open(f"/proc/{pid}/io") as f:
            return int(next(line for line in f if line.startswith("syscr")).split()[1])
    reads_before, passes_before = (reads(), passes(log)) if live else (0, 0)
    waits = []
    rng = random.Random(20261208)
    for _ in range(keys):
        read_for(rng.uniform(0, 1.5))
        typed = time.monotonic()
        os.write(fd, b"x")
        answered = read_for(5, b"\a")
        if answered is None:
            sys.exit("no bell within 5 s")
        waits.append((answered - typed) * 1000)
    if live:
        served = passes(log) - passes_before
        made = reads() - reads_before - keys
        print(f"{what}: {made / max(served, 1):.1f} read calls a pass over {served} passes")
    os.write(fd, b"q")
    os.waitpid(pid, 0)
    waits.sort()
    print(f"{what}: {keys} keys, median wait {waits[len(waits) // 2]:.1f} ms, "
          f"longest {waits[-1]:.1f} ms")
    if live:
        with open(log) as f:
            calls = [[int(v) for v in line.split()] for line in f if line.strip()]
        off, asked, gave, _, ns = max(calls, key=lambda c: c[4])
        print(f"{what}: {len(calls)} requests, the longest {ns / 1e6:.1f} ms "
              f"(asked {asked} bytes at {off}, gave {gave})")


if __name__ == "__main__":
    main()
