"""Shared helpers: meshes (a real scan and generated ones), motions, the CLI."""

import os
import pathlib
import subprocess

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
# The Stanford bunny, a scan Debian ships in glmark2-data (scripts/deps.sh installs it).
BUNNY = pathlib.Path("/usr/share/glmark2/models/bunny.obj")


def cli_path():
    path = os.environ.get("KORVANE_CLI", str(REPO / "build/native/bin/korvane"))
    assert os.access(path, os.X_OK), "korvane CLI not found at %s (set KORVANE_CLI)" % path
    return path


@pytest.fixture(scope="session")
def cli():
    return cli_path()


def run_cli(*args, ok=(0,)):
    r = subprocess.run([cli_path(), *map(str, args)], capture_output=True, text=True)
    assert r.returncode in ok, r.stderr
    return r


def read_obj(path):
    """Vertices (as strtod reads them) and triangles of a triangulated OBJ file."""
    vertices, faces = [], []
    with open(path) as f:
        for line in f:
            t = line.split()
            if t and t[0] == "v":
                vertices.append([float(x) for x in t[1:4]])
            elif t and t[0] == "f":
                faces.append([int(x.split("/")[0]) - 1 for x in t[1:4]])
    return np.array(vertices), np.array(faces, dtype=np.uint32).reshape(-1, 3)


def write_obj(path, vertices, faces=()):
    with open(path, "w") as f:
        f.writelines("v %.6f %.6f %.6f\n" % tuple(v) for v in vertices)
        f.writelines("f %d %d %d\n" % tuple(np.asarray(t) + 1) for t in faces)


@pytest.fixture(scope="session")
def bunny():
    assert BUNNY.is_file(), "%s missing: run scripts/deps.sh" % BUNNY
    return read_obj(BUNNY)


def blob(n, seed, thickness=1.0):
    """Points on a lumpy, unsymmetric ellipsoid; thickness < 1 flattens it."""
    rng = np.random.default_rng(seed)
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    r = 1 + 0.2 * np.sin(3 * d[:, 0] + 1) * np.cos(2 * d[:, 1]) + 0.1 * d[:, 2] ** 3
    return d * r[:, None] * np.array([2.0, 1.0, thickness])


def similarity(seed, scale=None):
    """A random turn, uniform scale and shift as a 4x4 matrix."""
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    m = np.eye(4)
    m[:3, :3] = q * (scale if scale is not None else rng.uniform(0.25, 4))
    m[:3, 3] = rng.uniform(-50, 50, 3)
    return m


def moved(matrix, points):
    return points @ matrix[:3, :3].T + matrix[:3, 3]


def shuffled(vertices, faces, seed):
    """The same mesh with its vertices in another order (faces renumbered)."""
    order = np.random.default_rng(seed).permutation(len(vertices))
    where = np.empty_like(order)
    where[order] = np.arange(len(order))
    return vertices[order], where[faces].astype(np.uint32)
