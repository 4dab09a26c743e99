import os
import pathlib
import subprocess
import sys

from conftest import REPO


def test_installed_package_uses_the_installed_library(tmp_path):
    build = os.environ.get("KORVANE_BUILD_DIR", str(REPO / "build/native"))
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", build, "--prefix", prefix], check=True, capture_output=True)
    (module,) = prefix.glob("lib/python3*/*-packages/korvane/_korvane*.so")
    site = module.parent.parent
    probe = (
        "import korvane, numpy\n"
        "print(korvane.__file__)\n"
        "print(korvane.transform(numpy.diag([2.0, 2.0, 2.0, 1.0]), [[1.0, 2.0, 3.0]]).tolist())\n"
        "print([l.split()[-1] for l in open('/proc/self/maps') if 'libKorvane' in l][0])\n"
    )
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PYTHONPATH"] = str(site)
    out = subprocess.run([sys.executable, "-c", probe], env=env, check=True, capture_output=True,
                         text=True, cwd=tmp_path).stdout.splitlines()
    assert out[0] == str(site / "korvane" / "__init__.py")
    assert out[1] == "[[2.0, 4.0, 6.0]]"
    assert pathlib.Path(out[2]).resolve().parent == (prefix / "lib").resolve()
