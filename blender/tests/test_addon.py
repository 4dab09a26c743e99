"""The add-on in a real Blender: measuring, replaying, undoing, matrix files, OBJ export."""

import json
import subprocess

import bpy
import numpy as np
import pytest

import korvane
from conftest import add_shape, cli, duplicate, select, similarity, size, to_blender, world_vertices

# Where each shape starts (the base's own transform, so that world space counts).
START = similarity(1, 0.5)


def scene_motion():
    return np.array(bpy.context.scene.korvane.matrix, dtype=np.float64).reshape(4, 4)


def moved_pair(shape, motion):
    """A base object and a copy moved by motion in world space: the copy's mesh
    data is changed too and its transform makes up for it."""
    base = add_shape(shape, START)
    data_motion = similarity(2, 1.3)
    copy = duplicate(base, motion @ START @ np.linalg.inv(data_motion))
    copy.data.transform(to_blender(data_motion))
    copy.data.update()
    select(base, copy)
    return base, copy


@pytest.mark.parametrize("shape", ["bunny", "suzanne", "bolt", "gear"])
@pytest.mark.parametrize("fit", ["AUTO", "THREE_POINT", "LEAST_SQUARES", "ICP"])
def test_measure_recovers_a_known_motion(shape, fit):
    motion = similarity(3, 2.5)
    base, moved = moved_pair(shape, motion)
    bpy.context.scene.korvane.fit = fit
    assert bpy.ops.korvane.measure() == {"FINISHED"}
    settings = bpy.context.scene.korvane
    assert settings.fits and settings.source == "MEASURED", settings.message
    assert "fits" in settings.message
    points = world_vertices(base)
    measured = scene_motion()
    # Blender holds vertices and transforms in single precision.
    error = np.abs(korvane.transform(measured, points) - korvane.transform(motion, points))
    if fit == "ICP" and shape in ("bolt", "gear"):
        # A symmetric part may be carried onto itself by another turn: the
        # verdict (to the surface) is what counts.
        return
    assert error.max() < 1e-5 * size(world_vertices(moved))


def test_measure_a_decimated_copy_finds_the_motion_by_icp():
    motion = similarity(4, 0.7)
    base, moved = moved_pair("bunny", motion)
    moved.modifiers.new("decimate", "DECIMATE").ratio = 0.5
    assert bpy.ops.korvane.measure() == {"FINISHED"}
    points = world_vertices(base)
    error = np.abs(korvane.transform(scene_motion(), points) - korvane.transform(motion, points))
    assert error.max() < 1e-3 * size(points) * 0.7


@pytest.mark.parametrize(
    "selection, expected",
    [
        ("moved only", "Select two mesh objects"),
        ("three meshes", "2 others are selected"),
        ("empty active", "active object must be a selected mesh"),
    ],
)
def test_measure_refuses_a_selection_it_cannot_measure(selection, expected):
    base, moved = moved_pair("suzanne", similarity(5, 1.0))
    if selection == "moved only":
        select(moved)
    elif selection == "three meshes":
        select(base, duplicate(base, START), moved)
    else:
        empty = bpy.data.objects.new("empty", None)
        bpy.context.scene.collection.objects.link(empty)
        select(base, moved, empty)
    with pytest.raises(RuntimeError, match=expected):
        bpy.ops.korvane.measure()
    assert expected in bpy.context.scene.korvane.message
    assert bpy.context.scene.korvane.source == "NONE"


@pytest.mark.parametrize("to_mesh_data", [False, True])
def test_replay_then_undo_brings_the_vertices_back(to_mesh_data):
    motion = similarity(6, 3.0)
    parent = add_shape("bunny", START)
    child = add_shape("suzanne", similarity(7, 0.2))
    child.parent = parent
    child.matrix_parent_inverse = parent.matrix_world.inverted()
    bpy.context.view_layer.update()
    before = {o.name: world_vertices(o) for o in (parent, child)}
    settings = bpy.context.scene.korvane
    settings.matrix = motion.ravel().tolist()
    settings.to_mesh_data = to_mesh_data
    select(parent, child)

    def assert_at(motion):
        expected = {k: korvane.transform(motion, v) for k, v in before.items()}
        # A child's world positions come from single-precision products of
        # its parent's transform: the tolerance is of the scene's size.
        scale = size(np.concatenate(list(expected.values())))
        for obj in (parent, child):
            error = np.abs(world_vertices(obj) - expected[obj.name]).max()
            assert error < 1e-6 * scale, obj.name

    assert bpy.ops.korvane.replay() == {"FINISHED"}
    assert_at(motion)
    assert bpy.ops.korvane.replay(inverse=True) == {"FINISHED"}
    assert_at(np.eye(4))


# What korvane refuses to read from a matrix file, the scene's motion cannot be either.
BAD_MOTIONS = {
    "projective": ([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0.5, 0, 1], "bottom row is not 0 0 0 1"),
    "singular": ([1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1], "singular"),
    "nan": ([1, float("nan"), 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1], "not finite"),
}


@pytest.mark.parametrize("kind", sorted(BAD_MOTIONS))
@pytest.mark.parametrize("action", ["replay", "undo", "mesh data", "save"])
def test_a_motion_korvane_refuses_is_refused_and_nothing_moves(kind, action, tmp_path):
    obj = add_shape("suzanne")
    before = world_vertices(obj)
    settings = bpy.context.scene.korvane
    settings.matrix, says = BAD_MOTIONS[kind]
    settings.to_mesh_data = action == "mesh data"
    run = {
        "replay": bpy.ops.korvane.replay,
        "undo": lambda: bpy.ops.korvane.replay(inverse=True),
        "mesh data": bpy.ops.korvane.replay,
        "save": lambda: bpy.ops.korvane.save_matrix(filepath=str(tmp_path / "m.matrix")),
    }[action]
    with pytest.raises(RuntimeError, match=says):
        run()
    assert says in settings.message
    assert np.array_equal(world_vertices(obj), before) and not (tmp_path / "m.matrix").exists()


def test_failures_are_messages_not_tracebacks(tmp_path):
    settings = bpy.context.scene.korvane
    settings.matrix = similarity(12, 1.0).ravel().tolist()
    with pytest.raises(RuntimeError, match="it is a folder, not a file"):
        bpy.ops.korvane.save_matrix(filepath=str(tmp_path) + "/")
    base, moved = moved_pair("suzanne", similarity(5, 1.0))
    moved.scale = (1.0, 0.0, 1.0)
    bpy.context.view_layer.update()
    for run in (bpy.ops.korvane.measure, bpy.ops.korvane.replay):
        settings.to_mesh_data = True
        with pytest.raises(RuntimeError, match="zero or flattening scale") as e:
            run()
        assert "Traceback" not in str(e.value)


def test_move_mesh_data_moves_the_shape_keys_the_user_sees():
    obj = add_shape("suzanne")
    obj.shape_key_add(name="Basis")
    smile = obj.shape_key_add(name="Smile")
    co = np.empty(3 * len(obj.data.vertices), dtype=np.float32)
    smile.data.foreach_get("co", co)
    smile.data.foreach_set("co", co + 0.1)
    smile.value = 0.7
    bpy.context.view_layer.update()
    motion = similarity(13, 2.0)

    def seen():
        # What the viewport shows: the mesh as evaluated, the keys mixed.
        mesh = obj.evaluated_get(bpy.context.evaluated_depsgraph_get()).to_mesh()
        out = np.empty(3 * len(mesh.vertices), dtype=np.float32)
        mesh.vertices.foreach_get("co", out)
        obj.evaluated_get(bpy.context.evaluated_depsgraph_get()).to_mesh_clear()
        w = np.array(obj.matrix_world)
        return out.reshape(-1, 3).astype(np.float64) @ w[:3, :3].T + w[:3, 3]

    before = seen()
    settings = bpy.context.scene.korvane
    settings.matrix = motion.ravel().tolist()
    settings.to_mesh_data = True
    assert bpy.ops.korvane.replay() == {"FINISHED"}
    bpy.context.view_layer.update()
    expected = korvane.transform(motion, before)
    assert np.abs(seen() - expected).max() < 1e-5 * size(expected)
    # An edit-mode round trip keeps the move (it rebuilds the mesh from the basis key).
    bpy.ops.object.mode_set(mode="EDIT")
    bpy.ops.object.mode_set(mode="OBJECT")
    assert np.abs(seen() - expected).max() < 1e-5 * size(expected)


def test_saved_matrix_is_read_by_korvane_apply(tmp_path):
    motion = similarity(9, 1.5)
    base, _ = moved_pair("bunny", motion)
    bpy.ops.korvane.measure()
    # A path relative to the .blend file, as Blender's file browser gives it.
    bpy.ops.wm.save_as_mainfile(filepath=str(tmp_path / "scene.blend"))
    assert bpy.ops.korvane.save_matrix(filepath="//motion.matrix") == {"FINISHED"}
    saved = tmp_path / "motion.matrix"
    points = world_vertices(base)
    (tmp_path / "in.obj").write_text("".join("v %.6f %.6f %.6f\n" % tuple(p) for p in points))
    subprocess.run([cli(), "apply", "-q", "-m", saved, tmp_path / "in.obj", "-o",
                    tmp_path / "out.obj"], check=True)
    out = np.loadtxt(tmp_path / "out.obj", usecols=(1, 2, 3))
    assert np.abs(out - korvane.transform(motion, points)).max() < 1e-5 * size(out)


def test_matrix_written_by_korvane_calc_loads_and_saves_back_unchanged(tmp_path):
    bunny = add_shape("bunny")
    points = world_vertices(bunny)
    motion = similarity(10, 1.7)
    for name, p in (("base", points), ("moved", korvane.transform(motion, points))):
        (tmp_path / (name + ".obj")).write_text("".join("v %.9f %.9f %.9f\n" % tuple(v) for v in p))
    calc = tmp_path / "calc.matrix"
    subprocess.run([cli(), "calc", tmp_path / "base.obj", tmp_path / "moved.obj", "-o", calc],
                   check=True, capture_output=True)
    assert bpy.ops.korvane.load_matrix(filepath=str(calc)) == {"FINISHED"}
    settings = bpy.context.scene.korvane
    assert settings.source == "LOADED" and settings.message == "Loaded calc.matrix"
    np.testing.assert_allclose(scene_motion(), korvane.read_matrix(calc), rtol=1e-7, atol=1e-7)
    bpy.ops.korvane.save_matrix(filepath=str(tmp_path / "again.matrix"))
    assert (tmp_path / "again.matrix").read_bytes() == calc.read_bytes()


def test_load_refuses_a_bad_file_and_keeps_the_motion(tmp_path):
    bad = tmp_path / "bad.matrix"
    bad.write_text("1 0 0 x\n")
    bpy.context.scene.korvane.matrix = similarity(11, 1.0).ravel().tolist()
    kept = scene_motion()
    with pytest.raises(RuntimeError, match="bad.matrix"):
        bpy.ops.korvane.load_matrix(filepath=str(bad))
    assert "bad.matrix" in bpy.context.scene.korvane.message
    assert np.array_equal(scene_motion(), kept)


@pytest.mark.parametrize("shape", ["bunny", "suzanne"])
def test_blenders_obj_export_measured_by_korvane_calc(shape, tmp_path):
    # Blender writes OBJ files Y up, -Z forward: (x, y, z) -> (x, z, -y).
    to_obj = np.array([[1, 0, 0, 0], [0, 0, 1, 0], [0, -1, 0, 0], [0, 0, 0, 1]], dtype=float)
    motion = similarity(12, 1.9)
    base, moved = moved_pair(shape, motion)
    for obj in (base, moved):
        select(obj)
        bpy.ops.wm.obj_export(filepath=str(tmp_path / (obj.name + ".obj")),
                              export_selected_objects=True, export_materials=False)
    r = subprocess.run([cli(), "calc", tmp_path / (base.name + ".obj"),
                        tmp_path / (moved.name + ".obj"), "--json", "-o", tmp_path / "m.matrix"],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stderr + r.stdout
    report = json.loads(r.stdout)
    expected = to_obj @ motion @ np.linalg.inv(to_obj)
    points = korvane.transform(to_obj, world_vertices(base))
    error = korvane.transform(np.array(report["matrix"]), points) - korvane.transform(expected, points)
    assert np.abs(error).max() < 1e-5 * size(points) * 1.9


def test_fit_and_model_menus_and_motion_rows_come_from_the_library():
    from korvane_blender.properties import describe, fit_items, fit_name, motion_items, motion_name

    settings = bpy.context.scene.korvane
    menu = fit_items(settings, bpy.context)
    assert [(i[0], i[2]) for i in menu] == [
        (name.upper().replace("-", "_"), text) for name, text in korvane.FITS
    ]
    for identifier, _, _ in menu:
        settings.fit = identifier
        assert fit_name(settings) in dict(korvane.FITS)
    settings.fit = "AUTO"
    # The models in the library's order; an unset choice is the library's default.
    assert [(i[0], i[2]) for i in motion_items(settings, bpy.context)] == [
        (name.upper(), text) for name, text in korvane.MOTIONS
    ]
    assert motion_name(settings) == "similarity"
    for matrix, affine in [(similarity(5, 1.7), False),
                           (similarity(5, 1.7) @ np.diag([1.3, 1.0, 0.8, 1.0]), True)]:
        parts = korvane.decompose(matrix)
        rows = dict(describe(matrix))
        assert rows["Scale"].startswith("%.6g" % parts.scale)
        assert ("Stretches" in rows, "Shear" in rows) == (affine, affine)
        if affine:
            assert rows["Stretches"] == "2.21 along (1, 0, 0)"  # 1.7 * 1.3 along x, rounding hidden


@pytest.mark.parametrize(
    "model, scale, mirrored, allow_mirror, fits",
    [
        ("RIGID", 1.0, False, False, True),
        ("RIGID", 1.3, False, False, False),  # another size
        ("SIMILARITY", 1.3, True, False, False),  # a mirror image never fits unasked
        ("SIMILARITY", 1.3, True, True, True),
        ("AFFINE", 1.3, False, False, True),  # stretched 1.2 along x, then turned
    ],
)
def test_the_model_and_mirror_choices_limit_what_fits(model, scale, mirrored, allow_mirror, fits):
    from korvane_blender.properties import get_motion

    stretch = 1.2 if model == "AFFINE" else 1.0
    motion = similarity(6, scale) @ np.diag([(-1.0 if mirrored else 1.0) * stretch, 1.0, 1.0, 1.0])
    base, copy = moved_pair("bunny", motion)
    settings = bpy.context.scene.korvane
    settings.motion, settings.allow_mirror = model, allow_mirror
    assert bpy.ops.korvane.measure() == {"FINISHED"}
    assert settings.fits == fits, settings.message
    if fits:
        measured = get_motion(settings)
        assert korvane.decompose(measured).mirror == mirrored
        # Against the copy's vertices: a transform without shear cannot hold all of a stretch.
        points = world_vertices(copy)
        error = korvane.transform(measured, world_vertices(base)) - points
        assert np.abs(error).max() < 1e-5 * size(points)
        if model == "RIGID":
            assert abs(np.linalg.det(measured[:3, :3]) - 1) < 1e-9
        from korvane_blender.properties import describe

        assert ("Stretches" in dict(describe(measured))) == (model == "AFFINE")


@pytest.mark.parametrize("rough", [True, False])
def test_scan_and_partial_choices_leave_tolerance_and_trim_to_the_library(rough):
    """A noisy copy misses the default tolerance and fits as "Scan or remesh";
    a copy with 30% cut away misses whole and fits as "Partial copy"; each miss
    suggests its choice."""
    import bmesh

    base, copy = moved_pair("bunny", similarity(7, 1.4))
    mesh = copy.data
    if rough:
        co = np.empty(3 * len(mesh.vertices))
        mesh.vertices.foreach_get("co", co)
        co += np.random.default_rng(3).normal(0, 3e-4 * size(co.reshape(-1, 3)), co.shape)
        mesh.vertices.foreach_set("co", co)
    else:
        bm = bmesh.new()
        bm.from_mesh(mesh)
        cut = np.quantile([v.co.x for v in bm.verts], 0.7)
        bmesh.ops.delete(bm, geom=[v for v in bm.verts if v.co.x > cut], context="VERTS")
        bm.to_mesh(mesh)
        bm.free()
    mesh.update()
    settings = bpy.context.scene.korvane
    assert bpy.ops.korvane.measure() == {"FINISHED"}
    assert not settings.fits
    assert ("automatic tolerance" if rough else "automatic trim") in settings.message
    settings.rough_copy, settings.partial_copy = rough, not rough
    assert bpy.ops.korvane.measure() == {"FINISHED"}
    assert settings.fits, settings.message
    said = "set from the copy's roughness" if rough else "The trim was set from that overlap."
    assert said in settings.message
