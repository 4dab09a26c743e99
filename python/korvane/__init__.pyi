import os
from typing import Any, Literal, NamedTuple, NoReturn, Optional, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str

_Path = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Matrix = npt.ArrayLike
_Points = npt.ArrayLike

class Error(Exception):
    message: str
    file: Optional[str]
    line: Optional[int]
    kind: str
    def __init__(
        self, message: str, file: Optional[str] = ..., line: Optional[int] = ..., kind: str = ...
    ) -> None: ...

class Rotation(NamedTuple):
    axis: np.ndarray
    degrees: float

class _Similarity(NamedTuple):
    scale: float
    rotation: Rotation
    translation: np.ndarray

class Decomposition(_Similarity):
    kind: str
    mirror: bool
    stretches: np.ndarray
    axes: np.ndarray
    shear: dict[str, float]

class ReplayWarning(TypedDict):
    kind: str
    count: int
    file: Optional[str]
    line: int
    message: str

class FileResult(TypedDict):
    input: str
    output: str
    vertices: int
    bytes: int
    seconds: float
    error: Optional[str]
    warnings: list[ReplayWarning]

class Fit:
    matrix: np.ndarray
    scale: float
    rotation: Rotation
    translation: np.ndarray
    fits: bool
    ambiguous: bool
    loose: bool
    note: Optional[str]
    message: str
    residual: dict[str, Optional[dict[str, Any]]]
    fit: str
    motion: str
    mirror: bool
    decomposition: Optional[dict[str, Any]]
    tried: list[str]
    topology: str
    reference_vertices: Optional[dict[str, list[int]]]
    tolerance: float
    automatic: dict[str, bool]
    roughness: Optional[dict[str, Any]]
    cause: Optional[str]
    iterations: int
    size: float
    alternatives: list[dict[str, Any]]
    judged_share: float
    overlap: float
    outliers: dict[str, Any]
    iteration_limit_reached: bool
    base_vertices: int
    moved_vertices: int
    def to_dict(self) -> dict[str, Any]: ...
    def to_json(self, indent: Optional[int] = ...) -> str: ...
    def __setattr__(self, name: str, value: Any) -> NoReturn: ...
    def __delattr__(self, name: str) -> NoReturn: ...

FITS: tuple[tuple[str, str], ...]
MOTIONS: tuple[tuple[str, str], ...]
REPORT_KEYS: tuple[str, ...]

def defaults() -> dict[str, Any]: ...
def decompose(matrix: _Matrix) -> Decomposition: ...
def measure(
    base: Union[_Path, _Points],
    moved: Union[_Path, _Points],
    fit: str = ...,
    tolerance: Union[float, Literal["auto"]] = ...,
    trim: Union[float, Literal["auto"], None] = ...,
    max_iterations: Optional[int] = ...,
    jobs: Optional[int] = ...,
    faces: Optional[npt.ArrayLike] = ...,
    base_faces: Optional[npt.ArrayLike] = ...,
    motion: str = ...,
    allow_mirror: bool = ...,
) -> Fit: ...
def transform(
    matrix: _Matrix,
    points: _Points,
    inverse: bool = ...,
    out: Optional[np.ndarray] = ...,
    jobs: Optional[int] = ...,
) -> np.ndarray: ...
def apply(
    matrix: Union[_Path, _Matrix],
    input: _Path,
    output: _Path,
    inverse: bool = ...,
    gltf_nodes: bool = ...,
    force: bool = ...,
) -> FileResult: ...
def inverse(matrix: Union[_Path, _Matrix]) -> np.ndarray: ...
def read_matrix(path: _Path) -> np.ndarray: ...
def write_matrix(path: _Path, matrix: _Matrix, force: bool = ...) -> None: ...
