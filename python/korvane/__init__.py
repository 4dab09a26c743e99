"""Korvane: measure how a mesh was moved, turned and uniformly scaled into a
moved copy, and replay that motion on points and OBJ files.

A motion is a 4x4 matrix, row-major, acting on column vectors (x, y, z, 1):
the layout of the matrix files. Meshes are OBJ paths (str, bytes or
os.PathLike) or (n, 3) arrays of points. Failures raise :class:`Error`, which
names the file and line. The library runs without the GIL, so threads that
call it run in parallel.
"""

import json
import math
import os
import time
from typing import NamedTuple

import numpy as np

from ._error import Error
from . import _korvane

__version__ = _korvane.__version__
__all__ = [
    "Decomposition",
    "Error",
    "Fit",
    "FITS",
    "MOTIONS",
    "REPORT_KEYS",
    "Rotation",
    "apply",
    "decompose",
    "defaults",
    "inverse",
    "measure",
    "read_matrix",
    "transform",
    "write_matrix",
]

_PATH_TYPES = (str, bytes, os.PathLike)


class Rotation(NamedTuple):
    """The turn of a motion: a unit axis (x, y, z) and an angle from 0 to 180 degrees."""

    axis: np.ndarray
    degrees: float


def _as_written(x):
    # The value a matrix file's fifteen significant digits read back as.
    return float("%.15g" % x)


_DEFAULTS = dict(_korvane.defaults)
# The fits by name, with what each does: "auto" first.
FITS = tuple((name, text) for name, text in _korvane.fits)
# The motion models by name, with what each allows: "rigid" first.
MOTIONS = tuple((name, text) for name, text in _korvane.motions)
# The report's keys, in the order ``korvane calc --json`` writes them.
REPORT_KEYS = tuple(_korvane.report_keys)


def _read_only(a):
    a = np.array(a, dtype=np.float64)
    a.flags.writeable = False
    return a


def _alternative(a):
    return {"matrix": _read_only(a["matrix"]), "residual": a["residual"]}


# How a report value becomes an attribute; every other key is taken as it is.
_ATTRIBUTE = {
    # The values the matrix file holds (fifteen significant digits), as the report shows them.
    "matrix": _read_only,
    "rotation": lambda r: Rotation(_read_only(r["axis"]), r["degrees"]),
    "translation": _read_only,
    "alternatives": lambda alts: [_alternative(a) for a in alts],
}


class Fit:
    """What :func:`measure` found: the motion, taken apart, and how well it fits.

    Every key of :meth:`to_dict` (``korvane calc --json``'s report, see
    ``REPORT_KEYS``) is an attribute of the same name: ``matrix`` (the values
    the matrix file holds, fifteen significant digits), ``rotation`` (a
    :class:`Rotation`), ``residual`` (``surface`` and ``paired``, None for
    different vertex counts, each with count, rms, median, p95, max and
    ``relative`` ones), ``fits``, ``ambiguous`` and ``alternatives``,
    ``outliers``, ``cause``, ``note``, ``message``, ``decomposition`` (None
    for a similarity, else {"stretches", "axes", "shear"} as
    :class:`Decomposition` reads them) and the rest; and
    ``base_vertices`` and ``moved_vertices``. A Fit is read-only.
    """

    __slots__ = REPORT_KEYS + ("base_vertices", "moved_vertices", "_json")

    def __init__(self, report, tolerance, requested):
        set_ = object.__setattr__
        values = json.loads(report["json"])
        for key in REPORT_KEYS:
            value = values[key]
            set_(self, key, _ATTRIBUTE[key](value) if key in _ATTRIBUTE else value)
        set_(self, "base_vertices", report["base_vertices"])
        set_(self, "moved_vertices", report["moved_vertices"])
        set_(self, "_json", report["json"])

    def __setattr__(self, name, value):
        raise AttributeError("a Fit is read-only: %s stays as measured" % name)

    def __delattr__(self, name):
        raise AttributeError("a Fit is read-only: %s stays as measured" % name)

    def to_dict(self):
        """The report as ``korvane calc --json`` prints it (keys in its order)."""
        return json.loads(self._json)

    def to_json(self, indent=2):
        """The report as the JSON text ``korvane calc --json`` prints."""
        return json.dumps(self.to_dict(), indent=indent, ensure_ascii=False)

    def __repr__(self):
        return "<korvane.Fit %s: %s>" % (self.fit, self.message)


def defaults():
    """The library's defaults and limits: tolerance, icp_trim, most_trim, max_iterations."""
    return dict(_DEFAULTS)


class _Similarity(NamedTuple):
    scale: float
    rotation: Rotation
    translation: np.ndarray


class Decomposition(_Similarity):
    """A motion taken apart (:func:`decompose`). It unpacks as (scale,
    :class:`Rotation`, translation), matrix = translation * rotation * scale
    for a similarity, and takes any other matrix apart too:

    ``kind``: "rigid", "similarity" or "affine", to rounding; ``mirror``: the
    determinant is negative (every stretch is then negative, and the scale);
    ``stretches`` (3,), the largest first, and ``axes`` (3, 3), row i the unit
    axis of stretch i: matrix = translation * rotation * (the sum of
    stretches[i] * outer(axes[i], axes[i])), ``scale`` their mean; ``shear``
    {"xy", "xz", "yz"}: read instead as turn * scale along x, y, z * shear, x
    moves by xy * y + xz * z and y by yz * z (zeros: x, y, z stay at right angles).
    """

    def __new__(cls, parts):
        self = super().__new__(
            cls,
            parts["scale"],
            Rotation(parts["axis"], parts["degrees"]),
            parts["translation"],
        )
        self.kind = parts["kind"]
        self.mirror = parts["mirror"]
        self.stretches = parts["stretches"]
        self.axes = parts["axes"]
        self.shear = dict(zip(("xy", "xz", "yz"), parts["shear"].tolist()))
        return self

    def __repr__(self):
        return "<korvane.Decomposition %s%s: scale %g, %g degrees>" % (
            self.kind,
            ", mirror image" if self.mirror else "",
            self.scale,
            self.rotation.degrees,
        )


def decompose(matrix):
    """A motion taken apart: a :class:`Decomposition`, which unpacks as
    (scale, :class:`Rotation`, translation) and holds the stretches, their
    axes and the shear of any matrix (affine, mirrored) too."""
    return Decomposition(_korvane.decompose(_matrix(matrix)))


def _points(a, name):
    points = np.asarray(a)
    if points.dtype.kind not in "fiu":
        raise TypeError("%s must be an (n, 3) array of numbers, not of %s" % (name, points.dtype))
    points = np.ascontiguousarray(points, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError("%s must be an (n, 3) array of points, not shape %s" % (name, points.shape))
    return points


def _faces(faces, name, vertices):
    # Any integer dtype (numpy's int64, what mesh libraries return) or nested
    # lists; checked here so that the index at fault can be named.
    if faces is None:
        return None
    f = np.asarray(faces)
    if f.size == 0:
        f = f.reshape(0, 3).astype(np.int64)
    if f.dtype.kind not in "iu":
        raise TypeError("%s must be whole vertex numbers, not %s" % (name, f.dtype))
    if f.ndim != 2 or f.shape[1] != 3:
        raise ValueError("%s must be an (m, 3) array of vertex numbers, not shape %s" % (name, f.shape))
    if f.size:
        bad = np.flatnonzero((f < 0) | (f >= vertices))
        if bad.size:
            row, corner = divmod(int(bad[0]), 3)
            raise ValueError(
                "%s[%d, %d] is %d, not a vertex of a mesh with %d (0-based numbers from 0 to %d)"
                % (name, row, corner, int(f[row, corner]), vertices, vertices - 1)
            )
    return np.ascontiguousarray(f, dtype=np.uint32)


def _whole(value, name, low, high, none):
    if value is None:
        return none
    if isinstance(value, bool) or int(value) != value or not low <= value <= high:
        raise ValueError("%s must be a whole number from %d to %d, not %r" % (name, low, high, value))
    return int(value)


def _jobs(jobs):
    return _whole(jobs, "jobs", 1, 1024, 0)


def _matrix(matrix):
    m = np.asarray(matrix, dtype=np.float64)
    if m.shape != (4, 4):
        raise ValueError("a motion is a 4x4 matrix, not shape %s" % (m.shape,))
    return m


def _is_auto(value, name):
    # "auto" is the one word these numbers take; any other text is a mistake.
    if isinstance(value, str):
        if value != "auto":
            raise ValueError("%s must be a number or 'auto', not %r" % (name, value))
        return True
    return False


def measure(
    base,
    moved,
    fit="auto",
    tolerance=_DEFAULTS["tolerance"],
    trim=None,
    max_iterations=None,
    jobs=None,
    faces=None,
    base_faces=None,
    motion="similarity",
    allow_mirror=False,
):
    """Measure the motion that carries the mesh ``base`` onto its moved copy ``moved``.

    ``base`` and ``moved`` are both mesh paths (OBJ, STL or PLY, told by their
    content; STL corners at equal positions are one vertex, numbered in the
    order they first appear) or both (n, 3) arrays of points.
    ``fit`` is one of the names in ``FITS`` ("auto" tries the cheaper fits
    first; ``FITS`` says what each does). It fits when 95% of the base
    vertices, carried by the motion, land
    within ``tolerance`` of the moved mesh, relative to its bounding-box
    diagonal; "auto" sets it from the moved mesh's own roughness (a scan, a
    remesh, a noisy copy: ``roughness`` and ``automatic`` say what was used).
    ``trim`` leaves the worst fraction (0 to ``most_trim``) of the pairs
    out of the fit (None: least-squares none, icp ``icp_trim``); "auto"
    judges a partial copy on the share of the base it has (``judged_share``,
    ``overlap``);
    ``max_iterations`` bounds ICP (None: ``max_iterations``; the library's
    defaults are in ``korvane.defaults()``); ``jobs`` threads (None: one per
    processor). With arrays,
    ``faces`` ((m, 3) vertex numbers, 0-based) are the moved mesh's triangles,
    measured against as an OBJ file's faces are; without them the residual is
    to the moved mesh's vertices. ``base_faces`` are the base's: ICP matches
    triangles of the same shape first, as it does with OBJ files, and finds
    the motion of thin, flat and nearly symmetric parts that it can miss
    without them. ``motion`` is "rigid" (a turn and a shift, the scale
    exactly 1), "similarity" (a uniform scale too) or "affine" (any linear
    map, a stretched copy; not with ``fit="three-point"``); with ``allow_mirror``
    a mirror image fits as well (``mirror`` is then True). Returns a
    :class:`Fit`; a motion that does
    not fit is returned too (``fits`` is False). Raises :class:`Error` for a
    file that cannot be read, a bad number, or meshes that cannot be measured.
    """
    if not isinstance(fit, str):
        raise TypeError("fit must be a str")
    if not isinstance(motion, str):
        raise TypeError("motion must be a str")
    auto_tolerance, auto_trim = _is_auto(tolerance, "tolerance"), _is_auto(trim, "trim")
    tolerance = _DEFAULTS["tolerance"] if auto_tolerance else float(tolerance)
    if not (math.isfinite(tolerance) and tolerance > 0):
        raise ValueError("tolerance must be a positive number or 'auto', not %r" % tolerance)
    if trim is None or auto_trim:
        trim_value = -1.0
    else:
        trim_value = float(trim)
        most = _DEFAULTS["most_trim"]
        if not 0.0 <= trim_value <= most:
            raise ValueError("trim must be from 0 to %g or 'auto', not %r" % (most, trim))
    iterations = _whole(max_iterations, "max_iterations", 1, 100000, 0)
    threads = _jobs(jobs)
    # The choices both readers take, in the library's order.
    choices = (fit, tolerance, trim_value, iterations, threads, motion, bool(allow_mirror))
    choices += (auto_tolerance, auto_trim)
    base_is_path, moved_is_path = isinstance(base, _PATH_TYPES), isinstance(moved, _PATH_TYPES)
    if base_is_path != moved_is_path:
        raise TypeError("base and moved must both be OBJ paths or both arrays of points")
    if base_is_path:
        if faces is not None or base_faces is not None:
            raise TypeError("faces go with arrays; an OBJ file brings its own")
        report = _korvane.measure_files(os.fsencode(base), os.fsencode(moved), *choices)
    else:
        base_points, moved_points = _points(base, "base"), _points(moved, "moved")
        report = _korvane.measure_arrays(
            base_points,
            moved_points,
            _faces(faces, "faces", len(moved_points)),
            _faces(base_faces, "base_faces", len(base_points)),
            *choices,
        )
    return Fit(report, tolerance, fit)


def transform(matrix, points, inverse=False, out=None, jobs=None):
    """Move (n, 3) points by a motion: ``p @ R.T + t`` for each point, on every core.

    ``inverse`` moves them by the motion that undoes it. A matrix a matrix
    file could not hold (not finite, a bottom row other than 0 0 0 1,
    singular, a scale outside 1e-100 to 1e100) raises :class:`Error`. ``out`` receives the result (a C-contiguous (n, 3) float64
    array; ``points`` itself to move them in place); by default a new array.
    Returns ``out``.
    """
    m = _matrix(matrix)
    if out is points:
        source = points
        if not isinstance(source, np.ndarray):
            raise TypeError("moving in place needs a numpy array")
    else:
        source = _points(points, "points")
        if out is None:
            out = np.empty_like(source)
    if not isinstance(out, np.ndarray):
        raise TypeError("out must be a numpy array")
    _korvane.transform(m, source, out, bool(inverse), _jobs(jobs))
    return out


def _motion(matrix, inverse):
    # A file is read as korvane apply reads it, naming the file and line; an
    # array is held to the same rules (inverting it checks them) before any work starts.
    if isinstance(matrix, _PATH_TYPES):
        return _korvane.load_motion(os.fsencode(matrix), bool(inverse))
    m = _matrix(matrix)
    undone = _korvane.inverse(m)
    return undone if inverse else m


def _reads(matrix, sources):
    # The files a replay reads, none of which it may write over: the inputs, and the matrix file.
    return list(sources) + ([os.fsencode(matrix)] if isinstance(matrix, _PATH_TYPES) else [])


def _replay(motion, source, target, gltf_nodes=False, force=False):
    """One file moved: the per-file object of ``korvane apply --json``; raises Error."""
    try:
        size = os.stat(source).st_size
    except OSError:
        size = 0
    start = time.perf_counter()
    vertices, warnings = _korvane.replay(motion, source, target, bool(gltf_nodes), bool(force))
    return {
        "input": os.fsdecode(source),
        "output": os.fsdecode(target),
        "vertices": vertices,
        "bytes": size,
        "seconds": time.perf_counter() - start,
        "error": None,
        "warnings": warnings,
    }


def apply(matrix, input, output, inverse=False, gltf_nodes=False, force=False):
    """Write the mesh file ``input`` moved by a motion to ``output``, as ``korvane apply`` does.

    ``matrix`` is a matrix file's path or a 4x4 matrix; ``inverse`` replays
    the motion that undoes it. ``output`` is the moved mesh's path, or an
    existing directory, into which it is written under the input's name. OBJ,
    STL, PLY and glTF (told by their content) are written in their own format: only
    positions and normals change (OBJ: vertex lines with six decimals; ASCII STL
    and PLY: the input's digits; binary: the input's types), and an output
    named for another format is refused. glTF (.gltf, .glb): the motion is baked
    into the vertex data, or with ``gltf_nodes`` put into the scene's root nodes
    (``korvane apply --gltf-nodes``). The output is replaced only when
    complete (through a symbolic link, keeping its permission bits). An output
    that is the input or the matrix file, or a loop of links, is refused; a
    read-only one too, unless ``force``. Returns the file's entry of
    ``korvane apply --json``: input, output, vertices, bytes, seconds, error
    (None), warnings. Raises :class:`Error`.
    """
    motion = _motion(matrix, inverse)
    source, target = os.fsencode(input), os.fsencode(output)
    if os.path.isdir(target):
        target = os.path.join(target, os.path.basename(source))
    _korvane.check_output(target, _reads(matrix, [source]), bool(force))
    return _replay(motion, source, target, gltf_nodes, force)


def inverse(matrix):
    """The motion that undoes ``matrix`` (a 4x4 array, or a matrix file's path read as
    ``korvane apply`` reads it); raises :class:`Error` for a matrix that file could not hold."""
    return _motion(matrix, True)


def read_matrix(path):
    """Read a matrix file (four lines of four numbers) as a 4x4 array; raises :class:`Error`."""
    return _korvane.read_matrix(os.fsencode(path))


def write_matrix(path, matrix, force=False):
    """Write a matrix file, replacing ``path`` only when complete; raises :class:`Error`
    for a matrix :func:`read_matrix` would refuse (not finite, a bottom row other than
    0 0 0 1, singular, a scale outside 1e-100 to 1e100), a folder, and a read-only file
    unless ``force``."""
    _korvane.write_matrix(os.fsencode(path), _matrix(matrix), bool(force))
