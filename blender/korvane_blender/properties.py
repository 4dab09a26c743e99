"""The motion kept in the scene, and the korvane package that measures it."""

import importlib
import sys

import bpy
import mathutils
import numpy as np

IDENTITY = tuple(float(i % 5 == 0) for i in range(16))

FIT_METHODS = {
    "AUTO": "auto",
    "THREE_POINT": "three-point",
    "LEAST_SQUARES": "least-squares",
    "ICP": "icp",
}


def korvane_module():
    """The korvane package: from Blender's Python path, else the folder in the preferences.

    Raises ImportError with a sentence saying where it was looked for.
    """
    try:
        import korvane

        return korvane
    except ImportError as first:
        reason = first
    addon = bpy.context.preferences.addons.get(__package__)
    folder = bpy.path.abspath(addon.preferences.module_dir) if addon else ""
    if folder:
        if folder not in sys.path:
            sys.path.append(folder)
        importlib.invalidate_caches()
        try:
            import korvane

            return korvane
        except ImportError as e:
            reason = e
        raise ImportError("korvane not found in %s (%s)" % (folder, reason))
    raise ImportError(
        "korvane not found on Blender's Python path (%s); install it, or set the "
        "module folder in the add-on's preferences" % reason
    )


def get_motion(settings):
    """The scene's motion as a 4x4 float64 array (row-major, on column vectors).

    Blender keeps float properties in single precision; the exact values of the
    last measured or loaded matrix ride along as text and are used as long as
    the floats still match them, so a loaded file is saved back unchanged.
    """
    floats = np.array(settings.matrix, dtype=np.float32)
    try:
        exact = np.array([float(x) for x in settings.matrix_exact.split()], dtype=np.float64)
    except ValueError:
        exact = np.empty(0)
    if exact.shape == (16,) and np.array_equal(exact.astype(np.float32), floats):
        return exact.reshape(4, 4)
    return floats.astype(np.float64).reshape(4, 4)


def set_motion(settings, matrix, source, fits, message):
    """Keep a motion in the scene: where it came from, its verdict and message."""
    m = np.asarray(matrix, dtype=np.float64).reshape(16)
    settings.matrix = m.tolist()
    settings.matrix_exact = " ".join(repr(float(x)) for x in m)
    settings.source = source
    settings.fits = fits
    settings.message = message


def describe(matrix):
    """Scale, turn (unit axis, degrees) and translation of a similarity, for display."""
    r = np.asarray(matrix, dtype=np.float64)[:3, :3]
    scale = float(np.cbrt(np.linalg.det(r)))
    if scale == 0.0 or not np.isfinite(scale):
        return scale, (0.0, 0.0, 1.0), 0.0, tuple(matrix[:3, 3])
    axis, angle = mathutils.Matrix((r / scale).tolist()).to_quaternion().to_axis_angle()
    return scale, tuple(axis), float(np.degrees(angle)), tuple(matrix[:3, 3])


class KorvaneSettings(bpy.types.PropertyGroup):
    """The scene's motion (scene.korvane) and the panel's choices."""

    matrix: bpy.props.FloatVectorProperty(
        name="Matrix",
        description="The motion, 16 numbers row by row, acting on column vectors "
        "(the layout of a .matrix file)",
        size=16,
        default=IDENTITY,
    )
    matrix_exact: bpy.props.StringProperty(options={"HIDDEN"})
    source: bpy.props.EnumProperty(
        name="Source",
        items=[
            ("NONE", "None", "No motion measured or loaded yet"),
            ("MEASURED", "Measured", "Measured between two objects"),
            ("LOADED", "Loaded", "Loaded from a .matrix file"),
        ],
        default="NONE",
    )
    fits: bpy.props.BoolProperty(
        name="Fits", description="The measured motion carries the base onto the moved object"
    )
    message: bpy.props.StringProperty(name="Message", description="The last verdict or error")
    fit: bpy.props.EnumProperty(
        name="Fit",
        description="How the motion is found",
        items=[
            ("AUTO", "Auto", "Three-point when it fits, else least squares for equal vertex "
             "counts, else ICP"),
            ("THREE_POINT", "Three-point", "Three reference vertices on each mesh"),
            ("LEAST_SQUARES", "Least squares", "Equal vertex counts, vertex i paired with "
             "vertex i"),
            ("ICP", "ICP", "Any counts, any order: iterative closest point"),
        ],
        default="AUTO",
    )
    to_mesh_data: bpy.props.BoolProperty(
        name="Move mesh data",
        description="Replay on the vertices of the meshes instead of the objects' transforms",
        default=False,
    )
