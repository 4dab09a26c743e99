import numpy as np
import pytest

import korvane
from conftest import blob, run_cli, similarity, write_obj


def expected(matrix, points):
    return points @ matrix[:3, :3].T + matrix[:3, 3]


@pytest.mark.parametrize("n", [0, 1, 7, 100_003])
def test_transform_is_numpys_expression(n):
    m = similarity(seed=n)
    v = np.random.default_rng(n).uniform(-1e3, 1e3, (n, 3))
    np.testing.assert_allclose(korvane.transform(m, v), expected(m, v), rtol=1e-13, atol=1e-9)
    np.testing.assert_allclose(
        korvane.transform(m, v, inverse=True), expected(np.linalg.inv(m), v), rtol=1e-12, atol=1e-8
    )
    assert korvane.transform(m, v, jobs=1).tobytes() == korvane.transform(m, v, jobs=2).tobytes()
    np.testing.assert_allclose(korvane.inverse(m), np.linalg.inv(m), rtol=1e-12, atol=1e-12)


def test_transform_in_place_and_into_out():
    m = similarity(seed=1)
    v = blob(5000, seed=1)
    want = expected(m, v)
    out = np.empty_like(v)
    assert korvane.transform(m, v, out=out) is out
    np.testing.assert_allclose(out, want, rtol=1e-13)
    same = v.copy()
    assert korvane.transform(m, same, out=same) is same
    assert same.tobytes() == out.tobytes()
    # Other dtypes and layouts are converted; a result array must be float64 in C order.
    np.testing.assert_allclose(korvane.transform(m, v.astype(np.float32)), expected(m, v.astype(np.float32)), rtol=1e-6)
    np.testing.assert_allclose(korvane.transform(m, np.asfortranarray(v)), want, rtol=1e-13)
    with pytest.raises(ValueError):
        korvane.transform(m, v, out=np.empty((5000, 3), np.float32))
    with pytest.raises(ValueError):
        korvane.transform(m, v, out=np.empty((4999, 3)))
    # Moved where they lie, points not in C order would be read as if they were.
    fortran = np.asfortranarray(v)
    for points, result in ((v, np.asfortranarray(np.empty_like(v))), (fortran, fortran), (v[::2], v[::2])):
        with pytest.raises(ValueError):
            korvane.transform(m, points, out=result)
    assert fortran.tobytes() == np.asfortranarray(v).tobytes()
    with pytest.raises(ValueError, match="overlaps"):
        buffer = np.zeros((5001, 3))
        korvane.transform(m, buffer[:-1], out=buffer[1:])
    with pytest.raises(ValueError):
        korvane.transform(np.eye(3), v)


def test_singular_inverse_is_an_error():
    flat = np.diag([1.0, 1.0, 0.0, 1.0])
    with pytest.raises(korvane.Error) as e:
        korvane.transform(flat, np.zeros((3, 3)), inverse=True)
    assert e.value.kind == "refused"


def test_matrix_files_round_trip(tmp_path):
    m = similarity(seed=4)
    korvane.write_matrix(tmp_path / "a.matrix", m)
    back = korvane.read_matrix(str(tmp_path / "a.matrix"))
    np.testing.assert_allclose(back, m, rtol=1e-14)
    assert back.tolist() == [[float("%.15g" % x) for x in row] for row in m]


@pytest.mark.parametrize("inverse", [False, True])
def test_apply_writes_what_the_cli_writes(tmp_path, bunny, inverse):
    korvane.write_matrix(tmp_path / "m.matrix", similarity(seed=9))
    write_obj(tmp_path / "in.obj", bunny[0], bunny[1])
    (tmp_path / "cli").mkdir()
    (tmp_path / "py").mkdir()
    flag = ["--inverse"] if inverse else []
    run_cli("apply", "-q", "-m", tmp_path / "m.matrix", *flag, tmp_path / "in.obj", "-o", tmp_path / "cli")
    # Into a directory under the input's name; the matrix as a path and as an array.
    entry = korvane.apply(tmp_path / "m.matrix", tmp_path / "in.obj", tmp_path / "py", inverse=inverse)
    cli_bytes = (tmp_path / "cli/in.obj").read_bytes()
    assert (tmp_path / "py/in.obj").read_bytes() == cli_bytes
    assert entry["output"] == str(tmp_path / "py/in.obj")
    assert entry["vertices"] == len(bunny[0]) and entry["error"] is None
    assert entry["bytes"] == (tmp_path / "in.obj").stat().st_size
    korvane.apply(korvane.read_matrix(tmp_path / "m.matrix"), tmp_path / "in.obj", tmp_path / "two.obj", inverse)
    assert (tmp_path / "two.obj").read_bytes() == cli_bytes
