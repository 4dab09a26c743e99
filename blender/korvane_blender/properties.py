"""The motion kept in the scene, and the korvane package that measures it."""

import importlib
import sys

import bpy
import numpy as np

IDENTITY = tuple(float(i % 5 == 0) for i in range(16))

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


def _fit_id(name):
    return name.upper().replace("-", "_")


# The fits as the library lists them; Blender needs the list kept alive while
# its menu shows it.
_fit_items = []


def fit_items(self, context):
    """The fit menu: the library's fits, "auto" first (empty without the library)."""
    try:
        fits = korvane_module().FITS
    except ImportError:
        fits = ()
    items = [(_fit_id(name), name.replace("-", " ").capitalize(), text) for name, text in fits]
    if items != _fit_items:
        _fit_items[:] = items
    return _fit_items


def fit_name(settings):
    """The library's name of the fit chosen in the menu."""
    for name, _ in korvane_module().FITS:
        if _fit_id(name) == settings.fit:
            return name
    raise RuntimeError("no fit %r in this korvane" % settings.fit)


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
    """Scale, turn (unit axis, degrees) and translation of a motion, for display:
    the library's own decomposition."""
    scale, rotation, translation = korvane_module().decompose(matrix)
    return scale, tuple(rotation.axis), rotation.degrees, tuple(translation)


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
        items=fit_items,
    )
    to_mesh_data: bpy.props.BoolProperty(
        name="Move mesh data",
        description="Replay on the vertices of the meshes instead of the objects' transforms",
        default=False,
    )
