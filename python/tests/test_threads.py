"""The GIL is released while Korvane works: measured, not assumed."""

import os
import sys
import threading
import time

import numpy as np
import pytest

import korvane
from conftest import blob, moved, similarity, write_obj

CORES = len(os.sched_getaffinity(0))
BASE = blob(150_000, seed=1)
COPY = moved(similarity(seed=2), BASE)


def measure_once():
    korvane.measure(BASE, COPY, fit="three-point", jobs=1)


def test_two_threads_measure_in_parallel():
    if CORES < 2:
        pytest.skip("needs two processors")

    def timed(*threads):
        start = time.perf_counter()
        for t in threads:
            t.start()
            if len(threads) == 1:
                t.join()
        for t in threads:
            t.join()
        return time.perf_counter() - start

    measure_once()
    # Two measurements at once against the same two one after the other, in
    # turns: holding the GIL they would take as long; released, about half on
    # two processors. A machine shared with other work shares both alike
    # (fairly scheduled), if unevenly in time: the best of five pairs is kept.
    best = 2.0
    for _ in range(5):
        apart = sum(timed(threading.Thread(target=measure_once)) for _ in range(2))
        together = timed(*(threading.Thread(target=measure_once) for _ in range(2)))
        best = min(best, together / apart)
        if best < 0.7:
            break
    assert best < 0.8, best


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("gil")
    write_obj(d / "base.obj", BASE)
    write_obj(d / "moved.obj", COPY)
    big = np.tile(COPY, (4, 1))
    np.savetxt(d / "big.obj", big, fmt="v %.6f %.6f %.6f")
    return d


POINTS = np.tile(BASE, (40, 1))  # 6 million points, moved in place by one call
CALLS = {
    "measure arrays": lambda d: measure_once(),
    "measure files": lambda d: korvane.measure(d / "base.obj", d / "moved.obj", fit="three-point", jobs=1),
    "transform": lambda d: korvane.transform(np.eye(4), POINTS, out=POINTS, jobs=1),
    "apply": lambda d: korvane.apply(np.eye(4), d / "big.obj", d / "out.obj"),
}


@pytest.mark.parametrize("name", CALLS)
def test_python_runs_while_korvane_works(files, name):
    call = CALLS[name]
    call(files)
    # Taking the GIL back after a call waits for the loop's switch interval: keep that short.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    # A loop of Python beside the call: holding the GIL, the call would stop it
    # for the whole call; released, it stops only when the system schedules
    # other work. The longest stop is measured against the call's own time.
    best = 1.0
    for _ in range(3):
        worker = threading.Thread(target=call, args=(files,))
        start = last = time.perf_counter()
        worker.start()
        longest = 0.0
        while worker.is_alive():
            now = time.perf_counter()
            longest = max(longest, now - last)
            last = now
        best = min(best, longest / (time.perf_counter() - start))
        if best < 0.25:
            break
    sys.setswitchinterval(interval)
    assert best < 0.5, best
