#!/usr/bin/python3
"""Open3D's ICP with scaling, the peer of `fit_speed` (bench/README.md).

usage: /usr/bin/python3 bench/open3d_icp.py BASE.obj MOVED.obj M00 M01 ... M23

The twelve numbers are the top three rows of the true motion. Open3D gets a
start near the truth (turned 2 degrees about a skew axis through the moved
mesh's centre and shifted by 1% of the size), as its users must give one; korvane starts from nothing. Each
setting is timed for registration_icp alone (its k-d tree included, the
files' reading not) and its error printed as fit_speed prints korvane's: the
largest distance, over the base's vertices, between where the result and the
truth put them, relative to the moved mesh's bounding-box diagonal.
Needs Debian's python3-open3d, a benchmark peer only.
"""

import sys
import time

import numpy as np
import open3d as o3d


def vertices(path):
    rows = []
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b"v "):
                rows.append(line.split()[1:4])
    return np.array(rows, dtype=np.float64)


def main():
    base, moved = vertices(sys.argv[1]), vertices(sys.argv[2])
    truth = np.eye(4)
    truth[:3, :] = np.array([float(x) for x in sys.argv[3:15]]).reshape(3, 4)
    size = float(np.linalg.norm(moved.max(axis=0) - moved.min(axis=0)))
    axis = np.array([1.0, 2.0, 3.0]) / np.sqrt(14.0)
    angle = np.radians(2.0)
    k = np.array([[0, -axis[2], axis[1]], [axis[2], 0, -axis[0]], [-axis[1], axis[0], 0]])
    # Turned about the moved mesh's centre, then shifted.
    centre = moved.mean(axis=0)
    turn = np.eye(4)
    turn[:3, :3] = np.eye(3) + np.sin(angle) * k + (1 - np.cos(angle)) * k @ k
    turn[:3, 3] = centre - turn[:3, :3] @ centre + 0.01 * size * axis
    start = turn @ truth
    source = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(base))
    target = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(moved))
    estimation = o3d.pipelines.registration.TransformationEstimationPointToPoint(with_scaling=True)
    sample = base[:: max(1, len(base) // 100000)]

    def error(m):
        a = sample @ m[:3, :3].T + m[:3, 3]
        b = sample @ truth[:3, :3].T + truth[:3, 3]
        return float(np.max(np.linalg.norm(a - b, axis=1))) / size

    print(f"open3d {o3d.__version__}: {len(base)} + {len(moved)} vertices, start error "
          f"{error(start):.2e}")
    for iterations, relative in ((30, 1e-6), (100, 1e-9), (300, 1e-12)):
        criteria = o3d.pipelines.registration.ICPConvergenceCriteria(
            relative_fitness=relative, relative_rmse=relative, max_iteration=iterations)
        t0 = time.perf_counter()
        result = o3d.pipelines.registration.registration_icp(
            source, target, 0.05 * size, start, estimation, criteria)
        seconds = time.perf_counter() - t0
        print(f"  open3d icp, at most {iterations} iterations, relative {relative:.0e}: "
              f"{seconds:.3f} s, error {error(result.transformation):.2e}, "
              f"fitness {result.fitness:.4f}")


if __name__ == "__main__":
    main()
