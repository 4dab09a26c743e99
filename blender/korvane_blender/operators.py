"""The operators: korvane.measure, korvane.replay, korvane.save_matrix, korvane.load_matrix."""

import os

import bpy
import mathutils
import numpy as np
from bpy_extras.io_utils import ExportHelper, ImportHelper

from .properties import fit_name, get_motion, korvane_module, motion_name, set_motion


def _fail(operator, settings, text):
    """Report an error in the interface and keep it as the scene's message.

    Scripts see it as the RuntimeError that bpy.ops raises for an error report.
    """
    settings.message = text
    operator.report({"ERROR"}, text)
    return {"CANCELLED"}


def _with_korvane(run):
    """An operator's execute that needs the korvane package, looked up here once:
    without it, the reason is the operator's report."""

    def execute(self, context):
        try:
            korvane = korvane_module()
        except ImportError as e:
            return _fail(self, context.scene.korvane, str(e))
        return run(self, context, korvane)

    return execute


class Refused(Exception):
    """A failure the operator words itself; shown as it is."""


def _failures(korvane=None):
    # What an operator turns into a message rather than a traceback.
    kinds = (Refused, ImportError, ValueError, TypeError, np.linalg.LinAlgError)
    return kinds + ((korvane.Error,) if korvane is not None else ())


def _matrix(m):
    return np.array(m, dtype=np.float64)


def _world_matrix(obj):
    """The object's world transform; refused when it flattens the object (a zero scale)."""
    world = _matrix(obj.matrix_world)
    linear = world[:3, :3]
    largest = np.abs(linear).max()
    det = abs(np.linalg.det(linear / largest)) if largest > 0 else 0.0
    if not np.isfinite(world).all() or det <= 1e-12:
        raise Refused(
            "Object %s has a zero or flattening scale in its transform (scale %s): "
            "give it a scale other than 0 on every axis" % (obj.name, tuple(round(x, 6) for x in obj.scale))
        )
    return world


def _checked_motion(korvane, m, inverse):
    # Held to the rules korvane reads matrix files by: inverting checks them all.
    undo = korvane.inverse(m)
    return undo if inverse else m


def world_mesh(obj, depsgraph, korvane, triangles):
    """World-space vertex positions (float64, (n, 3)) of an object as evaluated
    (modifiers applied), and its triangles ((m, 3), 0-based) when asked for."""
    world = _world_matrix(obj)
    evaluated = obj.evaluated_get(depsgraph)
    mesh = evaluated.to_mesh()
    try:
        co = np.empty(3 * len(mesh.vertices), dtype=np.float32)
        mesh.vertices.foreach_get("co", co)
        faces = None
        if triangles:
            mesh.calc_loop_triangles()
            tris = np.empty(3 * len(mesh.loop_triangles), dtype=np.int32)
            mesh.loop_triangles.foreach_get("vertices", tris)
            faces = tris.reshape(-1, 3) if len(tris) else None
    finally:
        evaluated.to_mesh_clear()
    points = co.reshape(-1, 3).astype(np.float64)
    return korvane.transform(world, points, out=points), faces


def _automatic(settings):
    # A rough or partial copy leaves the tolerance or the trim to the library.
    chosen = {}
    if settings.rough_copy:
        chosen["tolerance"] = "auto"
    if settings.partial_copy:
        chosen["trim"] = "auto"
    return chosen


class KORVANE_OT_measure(bpy.types.Operator):
    """Measure the motion that carries the other selected mesh (the base) onto the active one"""

    bl_idname = "korvane.measure"
    bl_label = "Measure"
    bl_options = {"REGISTER", "UNDO"}

    @_with_korvane
    def execute(self, context, korvane):
        settings = context.scene.korvane
        moved = context.active_object
        if moved is None or moved.type != "MESH" or not moved.select_get():
            return _fail(self, settings, "The active object must be a selected mesh (the moved one)")
        bases = [o for o in context.selected_objects if o is not moved and o.type == "MESH"]
        if len(bases) != 1:
            return _fail(
                self,
                settings,
                "Select two mesh objects: the base, then the moved one (active); %d others "
                "are selected" % len(bases),
            )
        depsgraph = context.evaluated_depsgraph_get()
        try:
            # The base's triangles too: ICP matches triangles of the same shape first.
            base_points, base_faces = world_mesh(bases[0], depsgraph, korvane, triangles=True)
            moved_points, faces = world_mesh(moved, depsgraph, korvane, triangles=True)
            fit = korvane.measure(
                base_points,
                moved_points,
                fit=fit_name(settings),
                faces=faces,
                base_faces=base_faces,
                motion=motion_name(settings),
                allow_mirror=settings.allow_mirror,
                **_automatic(settings),
            )
        except _failures(korvane) as e:
            return _fail(self, settings, "%s to %s: %s" % (bases[0].name, moved.name, e))
        set_motion(settings, fit.matrix, "MEASURED", fit.fits, fit.message)
        self.report({"INFO"} if fit.fits else {"WARNING"}, fit.message)
        return {"FINISHED"}


class KORVANE_OT_replay(bpy.types.Operator):
    """Move the selected objects by the scene's motion"""

    bl_idname = "korvane.replay"
    bl_label = "Replay"
    bl_options = {"REGISTER", "UNDO"}

    inverse: bpy.props.BoolProperty(
        name="Inverse", description="Apply the motion that undoes the scene's motion"
    )

    @classmethod
    def description(cls, context, properties):
        if properties.inverse:
            return "Undo the scene's motion on the selected objects (apply its inverse)"
        return "Move the selected objects by the scene's motion"

    @classmethod
    def poll(cls, context):
        return context.mode == "OBJECT"

    @_with_korvane
    def execute(self, context, korvane):
        settings = context.scene.korvane
        selected = set(context.selected_objects)
        try:
            # The scene's matrix may have been edited by hand: what korvane would
            # refuse to read from a file (a projective bottom row, a singular or
            # not finite matrix) is refused here too, never quietly changed.
            m = _checked_motion(korvane, get_motion(settings), self.inverse)
            if settings.to_mesh_data:
                moved = self._move_meshes(korvane, m, [o for o in selected if o.type == "MESH"])
            else:
                moved = self._move_objects(m, selected)
        except _failures(korvane) as e:
            return _fail(self, settings, str(e))
        if not moved:
            return _fail(self, settings, "Nothing to move: select the objects to replay on")
        context.view_layer.update()
        self.report({"INFO"}, "%s %d object(s)" % ("Undid" if self.inverse else "Moved", moved))
        return {"FINISHED"}

    @staticmethod
    def _move_objects(m, selected):
        # A child whose parent is selected moves with its parent.
        def has_selected_parent(obj):
            parent = obj.parent
            while parent is not None:
                if parent in selected:
                    return True
                parent = parent.parent
            return False

        targets = [o for o in selected if not has_selected_parent(o)]
        for obj in targets:
            obj.matrix_world = mathutils.Matrix((m @ _matrix(obj.matrix_world)).tolist())
        return len(targets)

    def _move_meshes(self, korvane, m, objects):
        # Each mesh is moved once, in the frame of its first selected object;
        # world = W * local, so the local motion is W^-1 * M * W. Every object
        # is checked before any mesh moves, so a refusal leaves all as they were.
        plan = {}
        for obj in sorted(objects, key=lambda o: o.name):
            if obj.data not in plan:
                world = _world_matrix(obj)
                plan[obj.data] = np.linalg.inv(world) @ m @ world
        done = {}
        for mesh, local in plan.items():
            # With shape keys, what is seen comes from the keys (the basis and
            # each shape), not from the vertices alone: all of them move.
            keys = mesh.shape_keys.key_blocks if mesh.shape_keys else ()
            for points_of in [mesh.vertices] + [k.data for k in keys]:
                co = np.empty(3 * len(mesh.vertices), dtype=np.float32)
                points_of.foreach_get("co", co)
                points = co.reshape(-1, 3).astype(np.float64)
                korvane.transform(local, points, out=points)
                points_of.foreach_set("co", points.astype(np.float32).ravel())
            mesh.update()
            done[mesh] = True
            if mesh.users > 1:
                self.report({"WARNING"}, "Mesh %s is shared by %d objects; all of them changed"
                            % (mesh.name, mesh.users))
        return len(done)


class KORVANE_OT_save_matrix(bpy.types.Operator, ExportHelper):
    """Save the scene's motion as a .matrix file"""

    bl_idname = "korvane.save_matrix"
    bl_label = "Save Matrix"

    filename_ext = ".matrix"
    filter_glob: bpy.props.StringProperty(default="*.matrix", options={"HIDDEN"})

    def invoke(self, context, event):
        # Offered as <object>.matrix, beside the .blend file when there is one.
        if not self.filepath:
            name = context.active_object.name if context.active_object else "motion"
            folder = os.path.dirname(bpy.data.filepath) if bpy.data.filepath else ""
            self.filepath = os.path.join(folder, bpy.path.clean_name(name) + self.filename_ext)
        context.window_manager.fileselect_add(self)
        return {"RUNNING_MODAL"}

    @_with_korvane
    def execute(self, context, korvane):
        settings = context.scene.korvane
        try:
            # Blender's "//" paths are relative to the .blend file. Nothing is
            # written that korvane would refuse to read.
            korvane.write_matrix(bpy.path.abspath(self.filepath), get_motion(settings))
        except _failures(korvane) as e:
            return _fail(self, settings, str(e))
        self.report({"INFO"}, "Saved %s" % self.filepath)
        return {"FINISHED"}


class KORVANE_OT_load_matrix(bpy.types.Operator, ImportHelper):
    """Load a .matrix file as the scene's motion"""

    bl_idname = "korvane.load_matrix"
    bl_label = "Load Matrix"
    bl_options = {"REGISTER", "UNDO"}

    filename_ext = ".matrix"
    filter_glob: bpy.props.StringProperty(default="*.matrix", options={"HIDDEN"})

    @_with_korvane
    def execute(self, context, korvane):
        settings = context.scene.korvane
        try:
            m = korvane.read_matrix(bpy.path.abspath(self.filepath))
        except _failures(korvane) as e:
            return _fail(self, settings, str(e))
        set_motion(settings, m, "LOADED", False, "Loaded %s" % os.path.basename(self.filepath))
        self.report({"INFO"}, settings.message)
        return {"FINISHED"}
