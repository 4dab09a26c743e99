import pickle

import numpy as np
import pytest

import korvane
from conftest import blob, write_obj


def test_failures_name_file_line_and_kind(tmp_path):
    good = tmp_path / "good.obj"
    write_obj(good, blob(50, seed=1))
    bad = tmp_path / "bad.obj"
    bad.write_text("v 0 0 0\nv 1 0 0\n# fine\nv 0 1 zero\n")
    huge = tmp_path / "huge.obj"
    huge.write_text("v 0 0 0\nv 1 0 1e999\n")
    empty = tmp_path / "empty.matrix"
    empty.write_text("\n")
    flat = tmp_path / "flat.matrix"
    flat.write_text("1 0 0 0\n0 1 0 0\n0 0 0 0\n0 0 0 1\n")
    cases = [
        (lambda: korvane.measure(good, bad), str(bad), 4, "invalid_number"),
        (lambda: korvane.measure(huge, good), str(huge), 2, "number_out_of_range"),
        (lambda: korvane.measure(good, tmp_path / "none.obj"), str(tmp_path / "none.obj"), None, "cannot_open"),
        (lambda: korvane.apply(np.eye(4), bad, tmp_path / "out.obj"), str(bad), 4, "invalid_number"),
        (lambda: korvane.read_matrix(tmp_path / "none.matrix"), str(tmp_path / "none.matrix"), None, "cannot_open"),
        (lambda: korvane.write_matrix(tmp_path / "no/dir.matrix", np.eye(4)), str(tmp_path / "no/dir.matrix"), None, "io"),
        # Matrix files are read as korvane apply reads them.
        (lambda: korvane.apply(empty, good, tmp_path / "out.obj"), str(empty), 1, "refused"),
        (lambda: korvane.apply(flat, good, tmp_path / "out.obj"), str(flat), None, "refused"),
        (lambda: korvane.read_matrix(flat), str(flat), None, "refused"),
        (lambda: korvane.inverse(flat), str(flat), None, "refused"),
    ]
    for call, file, line, kind in cases:
        with pytest.raises(korvane.Error) as e:
            call()
        assert (e.value.file, e.value.line, e.value.kind) == (file, line, kind), str(e.value)
        assert file in str(e.value)
    assert not (tmp_path / "out.obj").exists()


def test_a_motion_that_is_not_finite_moves_no_point():
    m = np.eye(4)
    m[0, 1] = np.nan
    points = blob(20, seed=3)
    with pytest.raises(korvane.Error) as e:
        korvane.transform(m, points)
    assert e.value.kind == "refused", str(e.value)


def test_refused_meshes_in_memory():
    line = np.outer(np.arange(10.0), [1.0, 2.0, 3.0])
    for base, copy in [(line, line), (np.zeros((2, 3)), np.zeros((2, 3))), (np.full((5, 3), np.nan), blob(5, 1))]:
        with pytest.raises(korvane.Error) as e:
            korvane.measure(base, copy)
        assert e.value.kind == "refused" and e.value.file is None, str(e.value)


def test_error_survives_pickling():
    e = pickle.loads(pickle.dumps(korvane.Error("bad.obj:4: no number", "bad.obj", 4, "invalid_number")))
    assert (str(e), e.file, e.line, e.kind) == ("bad.obj:4: no number", "bad.obj", 4, "invalid_number")
