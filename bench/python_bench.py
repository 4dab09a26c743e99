#!/usr/bin/python3
"""The Python package against its neighbours, in one run (bench/README.md, "Python").

usage: PYTHONPATH=build/native/python /usr/bin/python3 bench/python_bench.py
           [--build build/native] [--dir DIR] [--points N] [--vertices N] [--meshes N] [--rounds N]

1. korvane.transform on N points (default 10M) beside numpy's V @ R.T + t;
2. korvane.measure of two meshes of about 1M vertices, from OBJ files and
   from arrays (the same vertices and triangles, read beforehand);
3. korvane.dask.apply_many of M meshes (default 200) on a LocalCluster of two
   one-thread workers beside `korvane apply -j 2`.
Rounds alternate the contenders; medians are printed.
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

import distributed
import numpy as np

import korvane
import korvane.dask


def median_times(contenders, rounds):
    times = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, run in contenders.items():
            start = time.perf_counter()
            run()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def similarity():
    rng = np.random.default_rng(7)
    q, _ = np.linalg.qr(rng.normal(size=(3, 3)))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    m = np.eye(4)
    m[:3, :3] = 1.7 * q
    m[:3, 3] = [3.0, -20.0, 41.0]
    return m


def read_mesh(path):
    """Vertices and fan-triangulated faces, as the library reads them."""
    vertices, triangles = [], []
    with open(path) as f:
        for line in f:
            if line.startswith("v "):
                vertices.append([float(x) for x in line.split()[1:4]])
            elif line.startswith("f "):
                idx = [int(t.split("/")[0]) - 1 for t in line.split()[1:]]
                triangles.extend([idx[0], idx[k], idx[k + 1]] for k in range(1, len(idx) - 1))
    return np.array(vertices), np.array(triangles, dtype=np.uint32)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", default="build/native")
    p.add_argument("--dir", default=None)
    p.add_argument("--points", type=int, default=10_000_000)
    p.add_argument("--vertices", type=int, default=1_000_000)
    p.add_argument("--meshes", type=int, default=200)
    p.add_argument("--rounds", type=int, default=5)
    a = p.parse_args()
    bin_dir = pathlib.Path(a.build) / "bin"
    work = pathlib.Path(a.dir or tempfile.mkdtemp(prefix="korvane-pybench-"))
    work.mkdir(parents=True, exist_ok=True)
    m = similarity()
    print("cores: %d, korvane %s, numpy %s" % (os.cpu_count(), korvane.__version__, np.__version__))

    # 1. transform
    v = np.random.default_rng(1).uniform(-100, 100, (a.points, 3))
    out = np.empty_like(v)
    r, t = m[:3, :3], m[:3, 3]
    times = median_times(
        {
            "numpy V @ R.T + t": lambda: v @ r.T + t,
            "korvane.transform (new array)": lambda: korvane.transform(m, v),
            "korvane.transform (out=)": lambda: korvane.transform(m, v, out=out),
            "korvane.transform (jobs=1, out=)": lambda: korvane.transform(m, v, out=out, jobs=1),
        },
        a.rounds,
    )
    print("\ntransform, %d points:" % a.points)
    for name, s in times.items():
        print("  %-34s %.3f s  (%.2fx numpy)" % (name, s, times["numpy V @ R.T + t"] / s))
    del v, out

    # 2. measure from files and from arrays
    base, moved = work / "base.obj", work / "moved.obj"
    subprocess.run([bin_dir / "gen_mesh", base, str(a.vertices)], check=True, capture_output=True)
    korvane.apply(m, base, moved)
    bv, _ = read_mesh(base)
    mv, mf = read_mesh(moved)
    fits = {}

    def files():
        fits["files"] = korvane.measure(base, moved)

    def arrays():
        fits["arrays"] = korvane.measure(bv, mv, faces=mf)

    times = median_times({"from files": files, "from arrays": arrays}, max(1, a.rounds // 2 + 1))
    same = fits["files"].to_dict() == fits["arrays"].to_dict()
    print("\nmeasure, %d vertices (%s, fits %s; the same report: %s):"
          % (len(bv), fits["files"].fit, fits["files"].fits, same))
    for name, s in times.items():
        print("  %-34s %.3f s" % (name, s))

    # 3. a batch on two Dask workers against korvane apply -j 2
    indir, out_cli, out_dask = work / "in", work / "cli", work / "dask"
    for d in (indir, out_cli, out_dask):
        d.mkdir(exist_ok=True)
    rng = np.random.default_rng(3)
    inputs = []
    for i in range(a.meshes):
        path = indir / ("mesh%03d.obj" % i)
        if not path.exists():
            subprocess.run([bin_dir / "gen_mesh", path, str(int(rng.integers(1000, 20000))), str(i + 1)],
                           check=True, capture_output=True)
        inputs.append(path)
    total = sum(p.stat().st_size for p in inputs)
    korvane.write_matrix(work / "m.matrix", m)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        times = median_times(
            {
                "korvane.dask.apply_many (2 workers)": lambda: korvane.dask.apply_many(
                    client, work / "m.matrix", inputs, out_dask),
                "korvane apply -j 2": lambda: subprocess.run(
                    [bin_dir / "korvane", "apply", "-q", "-j", "2", "-m", work / "m.matrix", *inputs,
                     "-o", out_cli], check=True, stderr=subprocess.DEVNULL),  # (its normals warnings)
            },
            a.rounds,
        )
    same = all((out_cli / p.name).read_bytes() == (out_dask / p.name).read_bytes() for p in inputs)
    print("\nbatch, %d meshes, %.1f MB (outputs byte for byte the same: %s):" % (len(inputs), total / 1e6, same))
    for name, s in times.items():
        print("  %-38s %.3f s" % (name, s))
    print("\nfiles in %s" % work)


if __name__ == "__main__":
    main()
