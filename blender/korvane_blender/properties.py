"""The motion kept in the scene, and the korvane package that measures it."""

import importlib
import inspect
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


def _motion_id(name):
    return name.upper()


# The motion models as the library lists them, kept alive like the fits.
_motion_items = []


def motion_items(self, context):
    """The model menu: the library's models in its order (empty without the library).

    An unset choice reads as item number 0: that is the model ``korvane.measure``
    takes by default, so a new scene measures as the library does.
    """
    try:
        korvane = korvane_module()
        motions = korvane.MOTIONS
        default = inspect.signature(korvane.measure).parameters["motion"].default
    except ImportError:
        motions, default = (), None
    items = [
        (_motion_id(name), name.capitalize(), text, 0 if name == default else i + 1)
        for i, (name, text) in enumerate(motions)
    ]
    if items != _motion_items:
        _motion_items[:] = items
    return _motion_items


def motion_name(settings):
    """The library's name of the model chosen in the menu."""
    for name, _ in korvane_module().MOTIONS:
        if _motion_id(name) == settings.motion:
            return name
    raise RuntimeError("no motion model %r in this korvane" % settings.motion)


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


def _vector(values):
    # Rounding left by the solver (1e-16 beside 1) reads as 0.
    return "(%s)" % ", ".join("%.3g" % (v if abs(v) > 1e-12 else 0.0) for v in values)


def describe(matrix):
    """The motion taken apart by the library, as (name, value) rows for the panel:
    scale, turn and translation; for a mirror image and for an affine motion,
    what they add (the stretches along their axes, the shear)."""
    parts = korvane_module().decompose(matrix)
    affine = parts.kind == "affine"
    rows = [
        ("Scale", "%.6g%s" % (parts.scale, " (mean)" if affine else "")),
        ("Angle", "%.4f°" % parts.rotation.degrees),
        ("Axis", _vector(parts.rotation.axis)),
    ]
    if affine:
        rows += [
            ("Stretches" if i == 0 else "", "%.6g along %s" % (s, _vector(axis)))
            for i, (s, axis) in enumerate(zip(parts.stretches, parts.axes))
        ]
        rows.append(("Shear", ", ".join("%s %.4g" % item for item in parts.shear.items())))
    if parts.mirror:
        rows.append(("Mirror", "yes"))
    rows.append(("Translation", _vector(parts.translation)))
    return rows


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
    motion: bpy.props.EnumProperty(
        name="Motion",
        description="Which motions may fit",
        items=motion_items,
        default=0,
    )
    allow_mirror: bpy.props.BoolProperty(
        name="Allow mirror",
        description="A mirror image fits too (a left and right pair); otherwise it never does",
        default=False,
    )
    rough_copy: bpy.props.BoolProperty(
        name="Scan or remesh",
        description="The moved object is a scan, a remesh or a noisy copy: the tolerance is "
        "set from its own roughness",
        default=False,
    )
    partial_copy: bpy.props.BoolProperty(
        name="Partial copy",
        description="Part of the base may be missing from the moved object: it is judged on "
        "the share of the base it has",
        default=False,
    )
    to_mesh_data: bpy.props.BoolProperty(
        name="Move mesh data",
        description="Replay on the vertices of the meshes instead of the objects' transforms",
        default=False,
    )
