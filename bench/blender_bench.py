"""Measuring inside Blender against exporting to OBJ and running `korvane calc`
(bench/README.md, "Blender").

usage: PYTHONPATH=build/native/python blender -b --factory-startup --python-exit-code 1 \\
           --python bench/blender_bench.py -- [--build build/native] [--vertices 1000000] \\
           [--rounds 3] [--dir DIR]

Two objects of about N vertices (bench's gen_mesh, imported with Blender's
OBJ importer; the second a copy moved by a known similarity) are measured
(a) by the add-on's operator korvane.measure, from the call to the result,
(b) by exporting both with wm.obj_export and running `korvane calc` on the
files. The vertices and triangles the operator gathers before measuring are
timed on their own too. Rounds alternate the contenders; medians are printed.
"""

import argparse
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import addon_utils
import bpy
import numpy as np
from mathutils import Matrix

parser = argparse.ArgumentParser()
parser.add_argument("--build", default="build/native")
parser.add_argument("--vertices", type=int, default=1000000)
parser.add_argument("--rounds", type=int, default=3)
parser.add_argument("--dir", default=None)
args = parser.parse_args(sys.argv[sys.argv.index("--") + 1 :] if "--" in sys.argv else [])
build = pathlib.Path(args.build).resolve()
work = pathlib.Path(args.dir or tempfile.mkdtemp(prefix="korvane-blender-bench-"))

# The add-on from the source tree, as the tests use it from its ZIP.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "blender"))
import korvane_blender  # noqa: E402

korvane_blender.register()

mesh_file = work / "mesh.obj"
subprocess.run([build / "bin/gen_mesh", mesh_file, str(args.vertices)], check=True)
for obj in list(bpy.data.objects):
    bpy.data.objects.remove(obj)
start = time.perf_counter()
bpy.ops.wm.obj_import(filepath=str(mesh_file))
print("import: %.2f s" % (time.perf_counter() - start))
base = bpy.context.selected_objects[0]
moved = base.copy()
moved.data = base.data.copy()
bpy.context.scene.collection.objects.link(moved)
q, _ = np.linalg.qr(np.random.default_rng(7).normal(size=(3, 3)))
if np.linalg.det(q) < 0:
    q[:, 0] = -q[:, 0]
motion = np.eye(4)
motion[:3, :3] = 1.7 * q
motion[:3, 3] = (3.0, -20.0, 41.0)
moved.matrix_world = Matrix(motion.tolist())
bpy.context.view_layer.update()
print("vertices: %d and %d" % (len(base.data.vertices), len(moved.data.vertices)))


def select(*objects):
    for o in bpy.context.view_layer.objects:
        o.select_set(o in objects)
    bpy.context.view_layer.objects.active = objects[-1]


def operator():
    select(base, moved)
    assert bpy.ops.korvane.measure() == {"FINISHED"}


timings = {"export": [], "calc": []}


def gather():
    """What the operator does before measuring: world vertices and triangles."""
    import korvane
    from korvane_blender.operators import world_mesh

    depsgraph = bpy.context.evaluated_depsgraph_get()
    world_mesh(base, depsgraph, korvane, triangles=False)
    world_mesh(moved, depsgraph, korvane, triangles=True)


def export_and_calc():
    start = time.perf_counter()
    for obj, name in ((base, "base.obj"), (moved, "moved.obj")):
        select(obj)
        bpy.ops.wm.obj_export(filepath=str(work / name), export_selected_objects=True,
                              export_materials=False, export_uv=False, export_normals=False)
    middle = time.perf_counter()
    subprocess.run([build / "bin/korvane", "calc", work / "base.obj", work / "moved.obj",
                    "-o", work / "calc.matrix"], check=True, capture_output=True)
    timings["export"].append(middle - start)
    timings["calc"].append(time.perf_counter() - middle)


contenders = {"operator": operator, "export + calc": export_and_calc, "gather only": gather}
times = {name: [] for name in contenders}
for _ in range(args.rounds):
    for name, run in contenders.items():
        start = time.perf_counter()
        run()
        times[name].append(time.perf_counter() - start)

settings = bpy.context.scene.korvane
print("operator verdict:", settings.message)
for name, t in {**times, **timings}.items():
    print("%-14s median %.2f s  (%s)" % (name, statistics.median(t), ", ".join("%.2f" % x for x in t)))
