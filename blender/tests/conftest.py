"""Scenes for the add-on's tests: real meshes as Blender objects, known motions."""

import os
import pathlib

import bpy
import numpy as np
import pytest

# The Stanford bunny, a scan Debian ships in glmark2-data.
BUNNY = pathlib.Path("/usr/share/glmark2/models/bunny.obj")


def cli():
    path = os.environ.get("KORVANE_CLI", "")
    assert os.access(path, os.X_OK), "set KORVANE_CLI to the korvane program"
    return path


def similarity(seed, scale):
    """A random proper turn, a uniform scale and a shift, as a 4x4 array."""
    rng = np.random.default_rng(seed)
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    if np.linalg.det(q) < 0:
        q[:, 0] = -q[:, 0]
    m = np.eye(4)
    m[:3, :3] = q * scale
    m[:3, 3] = rng.uniform(-5, 5, 3)
    return m


def _bunny():
    vertices, faces = [], []
    with open(BUNNY) as f:
        for line in f:
            t = line.split()
            if t and t[0] == "v":
                vertices.append([float(x) for x in t[1:4]])
            elif t and t[0] == "f":
                faces.append([int(x.split("/")[0]) - 1 for x in t[1:]])
    mesh = bpy.data.meshes.new("bunny")
    mesh.from_pydata(vertices, [], faces)
    obj = bpy.data.objects.new("bunny", mesh)
    bpy.context.scene.collection.objects.link(obj)
    return obj


def _added(operator, **kwargs):
    def make():
        operator(**kwargs)
        return bpy.context.active_object

    return make


def _bolt():
    bpy.ops.preferences.addon_enable(module="add_mesh_BoltFactory")
    return _added(bpy.ops.mesh.bolt_add)()


def _gear():
    bpy.ops.preferences.addon_enable(module="add_mesh_extra_objects")
    return _added(bpy.ops.mesh.primitive_gear, number_of_teeth=24, width=0.05)()


# A scan; Blender's monkey (mirror-symmetric); a CAD part (nearly symmetric
# about its axis); a thin, flat gear (symmetric under 24 turns).
SHAPES = {
    "bunny": _bunny,
    "suzanne": _added(bpy.ops.mesh.primitive_monkey_add),
    "bolt": _bolt,
    "gear": _gear,
}


def add_shape(name, matrix_world=None):
    """A new mesh object of one of SHAPES, placed by matrix_world, alone selected and active."""
    obj = SHAPES[name]()
    if matrix_world is not None:
        obj.matrix_world = to_blender(matrix_world)
    select(obj)
    return obj


def to_blender(m):
    from mathutils import Matrix

    return Matrix(np.asarray(m).tolist())


def select(*objects):
    """Select exactly these objects; the last one is active."""
    for o in bpy.context.view_layer.objects:
        o.select_set(False)
    for o in objects:
        o.select_set(True)
    bpy.context.view_layer.objects.active = objects[-1] if objects else None


def duplicate(obj, matrix_world):
    """A copy of obj with its own mesh data, placed by matrix_world."""
    copy = obj.copy()
    copy.data = obj.data.copy()
    bpy.context.scene.collection.objects.link(copy)
    copy.matrix_world = to_blender(matrix_world)
    bpy.context.view_layer.update()
    return copy


def world_vertices(obj):
    """World positions of the object's own vertices (float64)."""
    co = np.empty(3 * len(obj.data.vertices), dtype=np.float32)
    obj.data.vertices.foreach_get("co", co)
    w = np.array(obj.matrix_world)
    return co.reshape(-1, 3).astype(np.float64) @ w[:3, :3].T + w[:3, 3]


def size(points):
    return float(np.linalg.norm(points.max(axis=0) - points.min(axis=0)))


@pytest.fixture(autouse=True)
def empty_scene():
    """Every test starts from an empty scene with no motion."""
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj)
    for mesh in list(bpy.data.meshes):
        bpy.data.meshes.remove(mesh)
    bpy.context.scene.property_unset("korvane")
    yield
