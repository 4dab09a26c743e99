import json
import re

import numpy as np
import pytest

import korvane
from conftest import blob, moved, read_obj, run_cli, shuffled, similarity, write_obj


def rotation_matrix(axis, degrees):
    x, y, z = axis
    c, s = np.cos(np.radians(degrees)), np.sin(np.radians(degrees))
    k = np.array([[0, -z, y], [z, 0, -x], [-y, x, 0]])
    return np.eye(3) + s * k + (1 - c) * (k @ k)


def max_relative_miss(fit_matrix, truth, points):
    reach = moved(truth, points)
    diagonal = np.linalg.norm(reach.max(0) - reach.min(0))
    return np.abs(moved(fit_matrix, points) - reach).max() / diagonal


# (mesh, fit, vertex order of the copy, through files, allowed miss relative to the size)
CASES = [
    ("bunny", "three-point", "same", True, 1e-5),
    ("bunny", "least-squares", "same", False, 1e-9),
    ("bunny", "icp", "shuffled", False, 1e-7),
    ("bunny", "auto", "shuffled", True, 1e-5),
    ("flat", "auto", "same", False, 1e-9),
    ("flat", "icp", "shuffled", True, 1e-5),
]


@pytest.mark.parametrize("mesh,fit,order,files,allowed", CASES)
def test_known_motion_is_recovered(tmp_path, bunny, mesh, fit, order, files, allowed):
    points = bunny[0] if mesh == "bunny" else blob(20000, seed=3, thickness=0.02)
    truth = similarity(seed=len(fit) + len(order))
    copy = moved(truth, points)
    if order == "shuffled":
        copy = copy[np.random.default_rng(5).permutation(len(copy))]
    if files:
        write_obj(tmp_path / "base.obj", points)
        write_obj(tmp_path / "moved.obj", copy)
        result = korvane.measure(tmp_path / "base.obj", str(tmp_path / "moved.obj"), fit=fit)
    else:
        result = korvane.measure(points, copy, fit=fit, jobs=2)
    assert result.fits, result.message
    assert not result.ambiguous
    assert max_relative_miss(result.matrix, truth, points) < allowed
    # The parts put back together are the matrix.
    parts = np.eye(4)
    parts[:3, :3] = rotation_matrix(*result.rotation) * result.scale
    parts[:3, 3] = result.translation
    np.testing.assert_allclose(parts, result.matrix, atol=1e-9 * np.abs(result.matrix).max())
    assert result.scale == pytest.approx(abs(np.linalg.det(truth[:3, :3])) ** (1 / 3), rel=1e-5)
    assert result.residual["surface"]["relative"]["p95"] <= 1e-5


def test_arrays_measure_as_files_do(tmp_path, bunny):
    """The same vertices and faces give the same report from memory as from OBJ files."""
    truth = similarity(seed=11)
    write_obj(tmp_path / "base.obj", bunny[0], bunny[1])
    write_obj(tmp_path / "moved.obj", moved(truth, bunny[0]), bunny[1])
    base, base_faces = read_obj(tmp_path / "base.obj")
    copy, faces = read_obj(tmp_path / "moved.obj")
    for fit in ("three-point", "icp"):
        from_files = korvane.measure(tmp_path / "base.obj", tmp_path / "moved.obj", fit=fit)
        from_arrays = korvane.measure(base, copy, fit=fit, faces=faces, base_faces=base_faces)
        assert from_arrays.to_dict() == from_files.to_dict()
        assert from_files.residual["surface"]["to"] == "surface"


@pytest.mark.parametrize("fit,shuffle", [("three-point", False), ("three-point", True), ("icp", True), ("auto", True), ("auto", False)])
def test_to_json_is_what_calc_json_prints(tmp_path, bunny, fit, shuffle):
    copy, faces = moved(similarity(seed=7), bunny[0]), bunny[1]
    if shuffle:  # the three-point rule then does not fit: a cause and exit status 3
        copy, faces = shuffled(copy, faces, seed=1)
    write_obj(tmp_path / "base.obj", bunny[0], bunny[1])
    write_obj(tmp_path / "moved.obj", copy, faces)
    r = run_cli("calc", tmp_path / "base.obj", tmp_path / "moved.obj", "--fit", fit,
                "--json", "-o", tmp_path / "m.matrix", ok=(0, 3))
    ours = korvane.measure(tmp_path / "base.obj", tmp_path / "moved.obj", fit=fit).to_json()
    # The same report, key for key in order; what to try next is worded for
    # each host: the command line names its flags, Python does not.
    def pairs(text):
        report = json.loads(text, object_pairs_hook=list)  # keeps the key order
        return [(k, v.replace("Try --fit icp.", "Try the ICP fit.") if k == "message" else v)
                for k, v in report]

    assert pairs(ours) == pairs(r.stdout)
    assert "--" not in json.loads(ours)["message"]
    assert len(ours.splitlines()) == len(r.stdout.splitlines())
    # The matrix is the one the file holds.
    np.testing.assert_array_equal(json.loads(ours)["matrix"], korvane.read_matrix(tmp_path / "m.matrix"))


@pytest.mark.parametrize("copy,args", [("scaled", ("rigid", False)), ("mirrored", ("rigid", True)),
                                       ("mirrored", ("similarity", False)),
                                       ("stretched", ("affine", False)),
                                       ("stretched", ("similarity", False))])
def test_motion_is_what_calc_measures(tmp_path, bunny, copy, args):
    motion, mirror = args
    m = similarity(seed=3, scale=1.3 if copy == "scaled" else 1.0)
    if copy == "mirrored":
        m[:3, 0] = -m[:3, 0]
    if copy == "stretched":  # 1.2 along a turned axis
        axis = np.array([1.0, 2.0, 2.0]) / 3.0
        m[:3, :3] = m[:3, :3] @ (np.eye(3) + 0.2 * np.outer(axis, axis))
    write_obj(tmp_path / "base.obj", bunny[0], bunny[1])
    write_obj(tmp_path / "moved.obj", *shuffled(moved(m, bunny[0]), bunny[1], seed=2))
    flags = ["--motion", motion] + (["--allow-mirror"] if mirror else [])
    r = run_cli("calc", tmp_path / "base.obj", tmp_path / "moved.obj", *flags, "--json",
                "-o", tmp_path / "m.matrix", ok=(0, 3))
    ours = korvane.measure(tmp_path / "base.obj", tmp_path / "moved.obj", motion=motion,
                           allow_mirror=mirror)
    cli = json.loads(r.stdout)
    assert (ours.motion, ours.mirror, ours.fits, ours.cause) == (motion, cli["mirror"], cli["fits"], cli["cause"])
    np.testing.assert_array_equal(ours.matrix, cli["matrix"])
    if copy == "scaled":  # a rigid miss names the size, each host in its own words
        assert not ours.fits and ours.cause == "another size" and "1.3 times" in ours.message
        assert "--motion similarity" in cli["message"] and "--" not in ours.message
    elif copy == "stretched" and motion == "similarity":
        assert not ours.fits and ours.cause == "stretched" and "1.2 times" in ours.message
        assert "--motion affine" in cli["message"] and "--" not in ours.message
    elif copy == "stretched":
        assert ours.fits and not ours.mirror
        assert max_relative_miss(ours.matrix, m, bunny[0]) < 1e-4
    elif mirror:
        assert ours.fits and ours.mirror and np.linalg.det(ours.matrix[:3, :3]) < 0
        assert max_relative_miss(ours.matrix, m, bunny[0]) < 1e-6
    else:
        assert not ours.fits and ours.cause == "mirror image"


def test_arguments_are_checked(bunny):
    v = bunny[0][:100]
    for kwargs in ({"fit": "nearest"}, {"motion": "shear"}, {"tolerance": 0}, {"tolerance": float("nan")},
                   {"trim": 0.7}, {"max_iterations": 0}, {"jobs": 1.5}):
        with pytest.raises(ValueError):
            korvane.measure(v, v, **kwargs)
    with pytest.raises(TypeError):
        korvane.measure("base.obj", v)
    with pytest.raises(ValueError):
        korvane.measure(v[:, :2], v[:, :2])


def test_a_shuffled_cube_is_ambiguous_unless_its_pairs_decide():
    g = np.linspace(-1, 1, 7)
    cube = np.array([(x, y, z) for x in g for y in g for z in g if max(abs(x), abs(y), abs(z)) == 1.0])
    moved = cube * 2.0 + np.array([1.0, 2.0, 3.0])
    shuffled = moved[np.random.default_rng(1).permutation(len(cube))]
    f = korvane.measure(cube, shuffled, fit="icp")
    assert f.fits and f.ambiguous, f.message
    alternatives = f.to_dict()["alternatives"]
    assert alternatives and all(np.abs(np.array(a["matrix"]) - f.matrix).max() > 0.5 for a in alternatives)
    same_order = korvane.measure(cube, moved)
    assert same_order.fits and not same_order.ambiguous, same_order.message


@pytest.mark.parametrize("kind", ["int64", "int32", "uint16", "list"])
def test_faces_of_any_integer_type_measure_alike(bunny, kind):
    v, f = bunny[0].astype(np.float32), bunny[1]
    copy = moved(similarity(seed=5), v.astype(np.float64))
    want = korvane.measure(v.astype(np.float64), copy, faces=f, base_faces=f)
    faces = f.tolist() if kind == "list" else f.astype(kind)
    got = korvane.measure(v, copy, faces=faces, base_faces=faces)
    assert got.to_dict() == want.to_dict()


def test_faces_at_fault_are_named_and_a_fit_is_read_only(bunny):
    v = bunny[0][:100]
    for faces, error, says in [([[0, 1, 100]], ValueError, "faces[0, 2] is 100"),
                               ([[0, 1, 2], [3, -1, 4]], ValueError, "faces[1, 1] is -1"),
                               ([[0.0, 1.0, 2.0]], TypeError, "whole vertex numbers")]:
        with pytest.raises(error, match=re.escape(says)):
            korvane.measure(v, v, faces=faces)


def test_every_report_key_is_an_attribute_of_a_read_only_fit(bunny):
    points = bunny[0]
    copy = moved(similarity(seed=4), points)[::-1]
    fit = korvane.measure(points, copy, fit="icp", trim=0.2)
    report = fit.to_dict()
    assert tuple(report) == korvane.REPORT_KEYS
    for key, value in report.items():
        attribute = getattr(fit, key)
        if key == "rotation":
            assert attribute.degrees == value["degrees"]
            assert np.array_equal(attribute.axis, value["axis"])
        elif key == "alternatives":
            assert [np.array_equal(a["matrix"], v["matrix"]) for a, v in zip(attribute, value)] == [
                True
            ] * len(value)
        elif isinstance(attribute, np.ndarray):
            assert np.array_equal(attribute, value), key
        else:
            assert attribute == value, key
    with pytest.raises(AttributeError):
        fit.fits = not fit.fits
    assert fit.to_dict()["fits"] == fit.fits


def test_defaults_and_fits_come_from_the_library():
    assert [name for name, _ in korvane.FITS] == ["auto", "three-point", "least-squares", "icp"]
    d = korvane.defaults()
    assert d["tolerance"] > 0 and 0 < d["icp_trim"] <= d["most_trim"] and d["max_iterations"] > 0
    with pytest.raises(ValueError, match="from 0 to %g" % d["most_trim"]):
        korvane.measure(np.eye(3), np.eye(3), trim=d["most_trim"] * 1.01)
    scale, rotation, translation = korvane.decompose(
        [[0, -2, 0, 1], [2, 0, 0, 2], [0, 0, 2, 3], [0, 0, 0, 1]]
    )
    assert scale == pytest.approx(2) and rotation.degrees == pytest.approx(90)
    assert np.allclose(rotation.axis, [0, 0, 1]) and np.allclose(translation, [1, 2, 3])
    assert [name for name, _ in korvane.MOTIONS][:2] == ["rigid", "similarity"]


@pytest.mark.parametrize("rows", [
    [[1.25, 0.375, 0, 1], [0, 0.8, 0, 2], [0, 0, -1, 3]],  # stretched, sheared, mirrored
    [[0, -2, 0, 1], [2, 0, 0, 2], [0, 0, 2, 3]],           # a similarity
])
def test_decompose_takes_any_matrix_apart_as_matrix_show_does(tmp_path, rows):
    m = np.array(rows + [[0, 0, 0, 1]], dtype=float)
    korvane.write_matrix(tmp_path / "m.matrix", m)
    shown = json.loads(run_cli("matrix", "show", "--json", tmp_path / "m.matrix").stdout)
    parts = korvane.decompose(m)
    scale, rotation, translation = parts
    assert (parts.kind, parts.mirror, scale) == (shown["kind"], shown["mirror"], shown["scale"])
    assert rotation.degrees == shown["rotation"]["degrees"]
    d = shown["decomposition"]
    if d is None:
        assert parts.kind != "affine" and parts.shear == {"xy": 0, "xz": 0, "yz": 0}
    else:
        assert parts.stretches.tolist() == d["stretches"] and parts.axes.tolist() == d["axes"]
        assert parts.shear == d["shear"]
    # Put together again: the stretches along their axes, then the turn.
    k = np.cross(np.eye(3), rotation.axis)  # k @ v is axis x v
    a = np.radians(rotation.degrees)
    turn = np.eye(3) + np.sin(a) * k + (1 - np.cos(a)) * (k @ k)
    stretch = sum(s * np.outer(u, u) for s, u in zip(parts.stretches, parts.axes))
    assert np.allclose(turn @ stretch, m[:3, :3], atol=1e-12)


@pytest.mark.parametrize("order", ["same", "shuffled"])
def test_an_affine_fit_reports_the_known_stretches_and_axes(tmp_path, bunny, order):
    # 1.2 along one turned axis, 0.85 along another, 1 along the third; then a similarity.
    axes = similarity(seed=8, scale=1.0)[:3, :3]
    stretches = np.array([1.2, 1.0, 0.85])
    m = similarity(seed=9, scale=1.0)
    m[:3, :3] = m[:3, :3] @ axes @ np.diag(stretches) @ axes.T
    copy = moved(m, bunny[0]), bunny[1]
    write_obj(tmp_path / "base.obj", bunny[0], bunny[1])
    write_obj(tmp_path / "moved.obj", *(shuffled(*copy, seed=4) if order == "shuffled" else copy))
    fit = korvane.measure(tmp_path / "base.obj", tmp_path / "moved.obj", motion="affine")
    cli = json.loads(run_cli("calc", tmp_path / "base.obj", tmp_path / "moved.obj", "--motion",
                             "affine", "--json", "-o", tmp_path / "m.matrix").stdout)
    assert fit.fits and fit.decomposition == cli["decomposition"], fit.message
    d = fit.decomposition
    close = 1e-6 if order == "same" else 1e-4
    assert np.allclose(d["stretches"], stretches, atol=close)
    for axis, want in zip(d["axes"], axes.T):
        assert abs(abs(np.dot(axis, want)) - 1) < close
    assert fit.scale == pytest.approx(np.mean(d["stretches"]), abs=1e-12)
    # The report takes apart the matrix before its file rounds it to fifteen digits.
    parts = korvane.decompose(fit.matrix)
    assert parts.kind == "affine" and np.allclose(parts.stretches, d["stretches"], rtol=1e-13)


def test_automatic_tolerance_and_trim_as_calc_reports_them(tmp_path, bunny):
    """A copy with 30% cut away and a noisy whole copy: "auto" sets the trim and
    the tolerance, the report says so, the same from Python as from the command
    line; a tight fixed tolerance says the copy is rougher and suggests auto."""
    vertices, faces = bunny
    size = np.linalg.norm(vertices.max(0) - vertices.min(0))
    keep = vertices[:, 0] < np.quantile(vertices[:, 0], 0.7)
    kept = np.flatnonzero(keep)
    renumber = -np.ones(len(vertices), dtype=np.int64)
    renumber[kept] = np.arange(len(kept))
    truth = similarity(seed=4)
    write_obj(tmp_path / "base.obj", vertices, faces)
    write_obj(tmp_path / "cut.obj", moved(truth, vertices[kept]), renumber[faces[keep[faces].all(axis=1)]])
    noise = np.random.default_rng(5).normal(0, 3e-4 * size, vertices.shape)
    write_obj(tmp_path / "noisy.obj", moved(truth, vertices + noise), faces)
    base, m = tmp_path / "base.obj", tmp_path / "m.matrix"
    cli = json.loads(run_cli("calc", base, tmp_path / "cut.obj", "-o", m, "--tolerance", "auto",
                             "--trim", "auto", "--json").stdout)
    fit = korvane.measure(base, tmp_path / "cut.obj", tolerance="auto", trim="auto")
    # The same report; only the message names the trim in each host's words.
    assert cli.pop("message").replace("--trim", "trim") == fit.to_dict().pop("message")
    assert {k: v for k, v in fit.to_dict().items() if k != "message"} == cli
    assert fit.fits and fit.automatic == {"tolerance": True, "trim": True}, fit.message
    assert 0.6 < fit.judged_share < 0.75 and fit.tolerance > korvane.defaults()["tolerance"]
    noisy = korvane.measure(base, tmp_path / "noisy.obj", tolerance="auto")
    assert noisy.fits and noisy.automatic == {"tolerance": True, "trim": False}, noisy.message
    assert 1.5e-4 < noisy.roughness["relative"]["noise"] < 6e-4
    assert "set from the copy's roughness" in noisy.message
    tight = run_cli("calc", base, tmp_path / "noisy.obj", "-o", m, "--tolerance", "1e-4", ok=(3,))
    assert "roughness" in tight.stdout and "Try --tolerance auto." in tight.stdout
    with pytest.raises(ValueError):
        korvane.measure(base, tmp_path / "cut.obj", trim="half")
