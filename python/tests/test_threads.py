"""The GIL is released while Korvane works: measured, not assumed."""

import os
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
    # (fairly scheduled); the best of three pairs is kept.
    best = 2.0
    for _ in range(3):
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
    return d


CALLS = {
    "measure arrays": lambda d: measure_once(),
    "measure files": lambda d: korvane.measure(d / "base.obj", d / "moved.obj", fit="three-point", jobs=1),
    "transform": lambda d: [korvane.transform(np.eye(4), BASE, jobs=1) for _ in range(20)],
    "apply": lambda d: korvane.apply(np.eye(4), d / "moved.obj", d / "out.obj"),
}


@pytest.mark.parametrize("name", CALLS)
def test_python_runs_while_korvane_works(files, name):
    if CORES < 2:
        pytest.skip("needs two processors")
    call = CALLS[name]
    call(files)

    def spin(alive):
        count, start = 0, time.perf_counter()
        while alive():
            count += 1
        return count / (time.perf_counter() - start)

    end = time.perf_counter() + 0.2
    alone = spin(lambda: time.perf_counter() < end)
    worker = threading.Thread(target=call, args=(files,))
    worker.start()
    beside = spin(worker.is_alive)
    worker.join()
    # Holding the GIL, the call would let this loop run only in the interpreter's
    # switch intervals around it; released, the loop keeps most of its pace.
    assert beside > 0.3 * alone, (beside, alone)
