"""STL and PLY through every Python host: apply, measure by path, Dask batches."""

import os

import numpy as np
import pytest

import korvane
from conftest import similarity


def write_binary_stl(path, vertices, faces):
    tri = vertices[faces].astype("<f4")
    normal = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    normal /= np.linalg.norm(normal, axis=1, keepdims=True)
    rec = np.zeros(len(faces), dtype=[("n", "<f4", 3), ("v", "<f4", (3, 3)), ("a", "<u2")])
    rec["n"], rec["v"], rec["a"] = normal, tri, np.arange(len(faces)) % 9
    path.write_bytes(b"binary STL".ljust(80) + np.uint32(len(faces)).tobytes() + rec.tobytes())


def write_ply(path, vertices):
    head = "ply\nformat binary_big_endian 1.0\nelement vertex %d\n" % len(vertices)
    head += "property double x\nproperty double y\nproperty double z\nproperty uchar grey\nend_header\n"
    rec = np.zeros(len(vertices), dtype=[("p", ">f8", 3), ("g", "u1")])
    rec["p"], rec["g"] = vertices, np.arange(len(vertices)) % 251
    path.write_bytes(head.encode() + rec.tobytes())


@pytest.fixture
def mesh(bunny):
    return bunny[0], np.asarray(bunny[1])


@pytest.mark.parametrize("kind", ["stl", "ply"])
def test_apply_and_measure_by_path(tmp_path, mesh, kind):
    vertices, faces = mesh
    base = tmp_path / ("base." + kind)
    if kind == "stl":
        write_binary_stl(base, vertices, faces)
    else:
        write_ply(base, vertices)
    m = similarity(seed=5)
    entry = korvane.apply(m, base, tmp_path / ("moved." + kind))
    assert entry["error"] is None
    # Every byte the motion does not touch is kept: same size, same header.
    before, after = base.read_bytes(), (tmp_path / ("moved." + kind)).read_bytes()
    assert len(before) == len(after) and before[:80] == after[:80]
    r = korvane.measure(base, tmp_path / ("moved." + kind))
    assert r.fits
    np.testing.assert_allclose(r.matrix, m, atol=1e-4 if kind == "stl" else 1e-9)
    with pytest.raises(korvane.Error, match="another format"):
        korvane.apply(m, base, tmp_path / "moved.obj")
    assert not (tmp_path / "moved.obj").exists()


def test_dask_batch_of_mixed_formats(tmp_path, mesh):
    distributed = pytest.importorskip("distributed")
    import korvane.dask

    vertices, faces = mesh
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    write_binary_stl(tmp_path / "in" / "a.stl", vertices, faces)
    write_ply(tmp_path / "in" / "b.ply", vertices)
    (tmp_path / "in" / "c.fbx").write_bytes(b"Kaydara FBX Binary  \0\x1a\0")
    inputs = sorted((tmp_path / "in").iterdir())
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        entries = korvane.dask.apply_many(c, similarity(seed=2), inputs, tmp_path / "out")
    assert [e["error"] is None for e in entries] == [True, True, False]
    assert "FBX" in entries[2]["error"]
    for name in ("a.stl", "b.ply"):
        r = korvane.measure(tmp_path / "in" / name, tmp_path / "out" / name)
        np.testing.assert_allclose(r.matrix, similarity(seed=2), atol=1e-4)


@pytest.mark.parametrize("gltf_nodes", [False, True])
def test_gltf_baked_or_in_the_nodes(tmp_path, gltf_nodes):
    # Blender's export of two parts, a child under a turned and scaled parent.
    parts = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "gltf", "parts.glb")
    m = similarity(seed=7)
    entry = korvane.apply(m, parts, tmp_path / "moved.glb", gltf_nodes=gltf_nodes)
    assert entry["error"] is None and entry["vertices"] == 120
    r = korvane.measure(parts, tmp_path / "moved.glb")
    assert r.fits
    np.testing.assert_allclose(r.matrix, m, atol=1e-4)
