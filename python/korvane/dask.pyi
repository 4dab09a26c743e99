from typing import Any, Iterable, Union

from . import FileResult, _Matrix, _Path

def apply_many(
    client: Any,
    matrix: Union[_Path, _Matrix],
    inputs: Iterable[_Path],
    outdir: _Path,
    inverse: bool = ...,
    gltf_nodes: bool = ...,
    force: bool = ...,
) -> list[FileResult]: ...
