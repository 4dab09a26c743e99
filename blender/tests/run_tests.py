"""Runs the add-on's tests inside Blender.

usage: blender -b --factory-startup --python-exit-code 1 --python run_tests.py -- ADDON.zip [PYTEST ARGS]

Installs the ZIP through Blender's preferences, as a user would, enables it,
and runs pytest on this folder; a failing test makes Blender exit with 1.
"""

import pathlib
import sys

import bpy
import pytest

args = sys.argv[sys.argv.index("--") + 1 :] if "--" in sys.argv else []
if not args:
    raise SystemExit("usage: blender -b --python run_tests.py -- ADDON.zip [PYTEST ARGS]")
bpy.ops.preferences.addon_install(filepath=args[0], overwrite=True)
bpy.ops.preferences.addon_enable(module="korvane_blender")
here = pathlib.Path(__file__).resolve().parent
status = pytest.main([str(here), "-q", "-p", "no:cacheprovider", *args[1:]])
if status != 0:
    raise RuntimeError("the add-on's tests failed (pytest status %d)" % status)
