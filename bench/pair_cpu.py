#!/usr/bin/python3
"""Times whole commands in turn (A B ... A B ...), RUNS times each, with the
CPU time (user + system, to the microsecond, from wait4) as well as the wall
time: medians of each, and the median and least ratio of each command to the
last one over neighbouring runs, which keeps ratios fair on a loaded machine.
Usage: bench/pair_cpu.py RUNS 'COMMAND' ... 'BASELINE COMMAND'"""
import os
import statistics
import subprocess
import sys
import time

runs, commands = int(sys.argv[1]), sys.argv[2:]
times = {c: [] for c in commands}
for _ in range(runs):
    for c in commands:
        start = time.perf_counter()
        p = subprocess.Popen(["sh", "-c", c], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
        if status != 0:
            sys.exit("failed: " + c)
        times[c].append((time.perf_counter() - start, usage.ru_utime + usage.ru_stime))
med = statistics.median
base = times[commands[-1]]
for c in commands:
    t = times[c]
    wall = [a[0] / b[0] for a, b in zip(t, base)]
    cpu = [a[1] / b[1] for a, b in zip(t, base)]
    print(f"wall {med(x[0] for x in t) * 1000:8.1f} ms, cpu {med(x[1] for x in t) * 1000:8.1f} ms;"
          f" to the last: wall {med(wall):.2f}x (least {min(wall):.2f}x), cpu {med(cpu):.2f}x"
          f" (least {min(cpu):.2f}x)  {c}")
