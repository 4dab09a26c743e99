import numpy as np
import pytest

import korvane
from conftest import blob, run_cli, similarity, write_obj

distributed = pytest.importorskip("distributed")
import korvane.dask  # noqa: E402


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def test_batch_writes_what_korvane_apply_writes(tmp_path, client, bunny):
    korvane.write_matrix(tmp_path / "m.matrix", similarity(seed=3))
    (tmp_path / "in").mkdir()
    inputs = []
    for i in range(12):
        path = tmp_path / "in" / ("mesh%02d.obj" % i)
        if i == 0:
            write_obj(path, bunny[0], bunny[1])
        else:
            write_obj(path, blob(200 * i, seed=i, thickness=0.05 * i))
        inputs.append(path)
    broken = tmp_path / "in" / "broken.obj"
    broken.write_text("v 1 2 3\nv 1 2 x\n")
    inputs.insert(5, broken)
    for inverse in (False, True):
        (tmp_path / "cli").mkdir(exist_ok=True)
        (tmp_path / "dask").mkdir(exist_ok=True)
        flag = ["--inverse"] if inverse else []
        r = run_cli("apply", "-q", "-m", tmp_path / "m.matrix", *flag, *inputs, "-o", tmp_path / "cli", ok=(1,))
        entries = korvane.dask.apply_many(client, tmp_path / "m.matrix", inputs, tmp_path / "dask", inverse)
        assert [e["input"] for e in entries] == [str(p) for p in inputs]
        for path, entry in zip(inputs, entries):
            if path == broken:
                # The message korvane apply lists for it, naming the file and line.
                assert "  " + entry["error"] in r.stderr.splitlines(), r.stderr
                assert not (tmp_path / "dask" / path.name).exists()
                continue
            assert entry["error"] is None
            assert entry["output"] == str(tmp_path / "dask" / path.name)
            assert (tmp_path / "dask" / path.name).read_bytes() == (tmp_path / "cli" / path.name).read_bytes()
        assert entries[0]["vertices"] == len(bunny[0])


def test_names_that_collide_are_refused(tmp_path, client):
    with pytest.raises(ValueError, match="both be written"):
        korvane.dask.apply_many(client, np.eye(4), [tmp_path / "a/x.obj", tmp_path / "b/x.obj"], tmp_path)
    assert korvane.dask.apply_many(client, np.eye(4), [], tmp_path) == []
