"""What every host promises about files and matrices, run for the CLI, Python and Dask alike."""

import os

import numpy as np
import pytest

import korvane
from conftest import blob, cli_path, run_cli, write_obj


def _cli_apply(matrix, source, target, force=False):
    run_cli("apply", "-q", "-m", matrix, source, "-o", target, *(["--force"] if force else []), ok=(2,))


def _py_apply(matrix, source, target, force=False):
    with pytest.raises(korvane.Error) as e:
        korvane.apply(matrix, source, target, force=force)
    assert e.value.kind == "refused", str(e.value)


def _dask_apply(matrix, source, target, force=False):
    pytest.importorskip("distributed")
    import korvane.dask

    # Refused while it checks, before any work is sent: no client is needed.
    assert os.path.basename(target) == os.path.basename(source)
    with pytest.raises(korvane.Error):
        korvane.dask.apply_many(None, matrix, [source], os.path.dirname(target), force=force)


HOSTS = {"cli": _cli_apply, "python": _py_apply, "dask": _dask_apply}


@pytest.fixture
def files(tmp_path):
    os.chdir(tmp_path)
    korvane.write_matrix("m.matrix", np.diag([2.0, 2.0, 2.0, 1.0]))
    write_obj("in.obj", blob(30, seed=2))
    os.mkdir("out")
    write_obj("out/in.obj", blob(10, seed=3))
    os.chmod("out/in.obj", 0o444)
    os.symlink("loop2", "loop1")
    os.symlink("loop1", "loop2")
    return tmp_path


# (promise, target, the hosts it applies to)
REFUSED = [
    ("output onto the matrix file", "m.matrix", ("cli", "python")),
    ("output onto the input", "in.obj", ("cli", "python", "dask")),
    ("read-only output", "out/in.obj", ("cli", "python", "dask")),
    ("a loop of symbolic links", "loop1", ("cli", "python")),
]


@pytest.mark.parametrize("promise,target,hosts", REFUSED, ids=[r[0] for r in REFUSED])
def test_outputs_are_refused_in_every_host(files, promise, target, hosts):
    before = {p: open(p, "rb").read() for p in ("m.matrix", "in.obj", "out/in.obj")}
    for host in hosts:
        HOSTS[host]("m.matrix", "in.obj", target)
        assert {p: open(p, "rb").read() for p in before} == before, host
        assert os.readlink("loop1") == "loop2" and os.readlink("loop2") == "loop1", host
    assert sorted(os.listdir(files)) == ["in.obj", "loop1", "loop2", "m.matrix", "out"]


def test_force_replaces_a_read_only_output_keeping_its_mode(files):
    run_cli("apply", "-q", "-m", "m.matrix", "in.obj", "-o", "out/in.obj", "--force")
    cli = open("out/in.obj").read()
    os.chmod("out/in.obj", 0o444)
    korvane.apply("m.matrix", "in.obj", "out", force=True)
    assert open("out/in.obj").read() == cli
    assert os.stat("out/in.obj").st_mode & 0o777 == 0o444
    with pytest.raises(korvane.Error):
        korvane.write_matrix("out/in.obj", np.eye(4))
    korvane.write_matrix("out/in.obj", np.eye(4), force=True)
    assert os.stat("out/in.obj").st_mode & 0o777 == 0o444


def _bad(kind):
    m = np.eye(4)
    if kind == "projective":
        m[3] = [0.0, 0.5, 0.0, 1.0]
    elif kind == "singular":
        m[2, 2] = 0.0
    elif kind == "nan":
        m[0, 1] = np.nan
    elif kind == "tiny scale":
        m[:3, :3] *= 1e-300
    return m


BAD = ["projective", "singular", "nan", "tiny scale"]


@pytest.mark.parametrize("kind", BAD)
def test_matrices_a_file_cannot_hold_are_refused_everywhere(files, kind):
    m = _bad(kind)
    points = blob(5, seed=1)
    calls = {
        "apply": lambda: korvane.apply(m, "in.obj", "moved.obj"),
        "apply inverse": lambda: korvane.apply(m, "in.obj", "moved.obj", inverse=True),
        "transform": lambda: korvane.transform(m, points),
        "inverse": lambda: korvane.inverse(m),
        "write_matrix": lambda: korvane.write_matrix("bad.matrix", m),
        "decompose": lambda: korvane.decompose(m),
    }
    for name, call in calls.items():
        with pytest.raises(korvane.Error) as e:
            call()
        assert e.value.kind == "refused" and e.value.file in (None, "bad.matrix"), (name, str(e.value))
    # The same matrix as a file: korvane and Python refuse it, naming the file.
    with open("bad.matrix", "w") as f:
        f.writelines(" ".join("%.17g" % x for x in row) + "\n" for row in m)
    for args in (["apply", "-m", "bad.matrix", "in.obj", "-o", "moved.obj"],
                 ["matrix", "invert", "bad.matrix", "-o", "inv.matrix"]):
        assert "bad.matrix" in run_cli(*args, ok=(1,)).stderr
    with pytest.raises(korvane.Error) as e:
        korvane.read_matrix("bad.matrix")
    assert e.value.file.endswith("bad.matrix")
    assert not os.path.exists("moved.obj") and not os.path.exists("inv.matrix")


def test_matrix_make_refuses_a_scale_that_zeroes_every_vertex(files):
    for scale in ("1e-300", "1e300"):
        r = run_cli("matrix", "make", "--scale", scale, "-o", "s.matrix", ok=(1,))
        assert "1e-100 to 1e100" in r.stderr
    assert not os.path.exists("s.matrix")
    run_cli("matrix", "make", "--scale", "1e-50", "-o", "s.matrix")
    assert np.allclose(korvane.read_matrix("s.matrix"), np.diag([1e-50] * 3 + [1.0]), rtol=1e-14, atol=0)
