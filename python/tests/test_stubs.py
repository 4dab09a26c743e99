"""The type stubs describe the objects the package really has."""

import ast
import inspect
import pathlib

import numpy as np

import korvane
import korvane.dask
from conftest import blob, write_obj

PACKAGE = pathlib.Path(korvane.__file__).parent


def _stub(name):
    return ast.parse((PACKAGE / name).read_text())


def _fields(cls):
    return [s.target.id for s in cls.body if isinstance(s, ast.AnnAssign)]


def test_stubs_match_the_module(tmp_path):
    for stub, module in (("__init__.pyi", korvane), ("dask.pyi", korvane.dask)):
        tree = _stub(stub)
        functions = {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}
        public = [n for n, f in vars(module).items()
                  if inspect.isfunction(f) and f.__module__ == module.__name__ and not n.startswith("_")]
        assert sorted(functions) == sorted(public), stub
        for name, f in functions.items():
            stubbed = [a.arg for a in f.args.args]
            assert stubbed == list(inspect.signature(getattr(module, name)).parameters), name
    body = _stub("__init__.pyi").body
    classes = {c.name: c for c in body if isinstance(c, ast.ClassDef)}
    declared = set(classes) | {f.name for f in body if isinstance(f, ast.FunctionDef)}
    assert set(korvane.__all__) <= declared | set(_fields(_stub("__init__.pyi")))
    fit = korvane.measure(blob(20, seed=1), blob(20, seed=1))
    slots = [s for s in korvane.Fit.__slots__ if not s.startswith("_")]
    assert sorted(_fields(classes["Fit"])) == sorted(slots)
    assert all(hasattr(fit, s) for s in slots)
    write_obj(tmp_path / "in.obj", blob(20, seed=2))
    (tmp_path / "in.obj").write_text((tmp_path / "in.obj").read_text() + "v\t1\t2\t3\n")
    entry = korvane.apply(np.eye(4), tmp_path / "in.obj", tmp_path / "out.obj")
    assert _fields(classes["FileResult"]) == list(entry)
    assert entry["warnings"] and _fields(classes["ReplayWarning"]) == list(entry["warnings"][0])
    assert _fields(classes["Error"]) == ["message", "file", "line", "kind"]
    assert all(hasattr(korvane.Error("m", "f", 1, "io"), n) for n in _fields(classes["Error"]))
