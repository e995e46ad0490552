#!/usr/bin/env python3
"""How long a key waits for its answer in the running monitor.

    bench/latency.py BINARY BENCH [CPUS LINES [KEYS]]

Starts BINARY in a pseudo-terminal of 80 x 24 on a kernel-format table of
CPUS x LINES (default 8192 x 1000, written by BENCH --table) bind-mounted over
/proc/interrupts in a private mount namespace, types an unknown key (x) at
random moments, in passes and pauses alike, and times each until its bell
arrives. Prints the median and the longest wait.
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


def main():
    binary, bench = sys.argv[1], sys.argv[2]
    cpus, lines = (int(sys.argv[3]), int(sys.argv[4])) if len(sys.argv) > 4 else (8192, 1000)
    keys = int(sys.argv[5]) if len(sys.argv) > 5 else 40
    table = tempfile.NamedTemporaryFile(prefix="kevrane-latency-", suffix=".txt")
    subprocess.run([bench, "--table", str(cpus), str(lines)], stdout=table, check=True)
    table.flush()

    pid, fd = pty.fork()
    if pid == 0:
        os.environ["TERM"] = "vt100"
        script = 'mount --bind "$0" /proc/interrupts && exec "$1"'
        os.execvp("unshare", ["unshare", "-rm", "sh", "-c", script, table.name, binary])
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

    if read_for(60, b"SINCE COMMAND START") is None:
        sys.exit("the monitor did not start")
    read_for(2)
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
    os.write(fd, b"q")
    os.waitpid(pid, 0)
    waits.sort()
    print(f"{cpus} x {lines}: {keys} keys, median wait {waits[len(waits) // 2]:.1f} ms, "
          f"longest {waits[-1]:.1f} ms")


if __name__ == "__main__":
    main()
