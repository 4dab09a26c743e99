"""Replaying one motion on many mesh files (OBJ, STL, PLY, glTF) across a Dask distributed cluster."""

import os
import time

import korvane


def _apply_one(source, target, motion, gltf_nodes=False, force=False):
    # Runs on a worker: a failing file becomes its entry's error, as in `korvane apply`.
    start = time.perf_counter()
    try:
        return korvane._replay(motion, source, target, gltf_nodes, force)
    except korvane.Error as e:
        try:
            size = os.stat(source).st_size
        except OSError:
            size = 0
        return {
            "input": os.fsdecode(source),
            "output": os.fsdecode(target),
            "vertices": 0,
            "bytes": size,
            "seconds": time.perf_counter() - start,
            "error": str(e),
            "warnings": [],
        }


def apply_many(client, matrix, inputs, outdir, inverse=False, gltf_nodes=False, force=False):
    """Replay a motion on every mesh file of ``inputs`` (each in its own format) on the workers of a Dask ``client``.

    ``matrix`` is a matrix file's path or a 4x4 matrix; it is read (and
    inverted, with ``inverse``) once, here, and sent to the workers. Each
    input is written into the directory ``outdir`` under its own name. The
    paths must mean the same files on every worker (one machine, or a shared
    file system). Returns one entry per input, in their order, as
    ``korvane apply --json`` lists them: input, output, vertices, bytes,
    seconds, and error (None, or the message naming the file and line). A
    failing file does not stop the others. ``gltf_nodes``: glTF files get the
    motion in their scene's root nodes, as with ``korvane apply --gltf-nodes``.
    Outputs are checked first, as :func:`korvane.apply` checks them: one
    that is an input or the matrix file, or read-only without ``force``,
    raises :class:`korvane.Error` before anything is written.
    """
    motion = korvane._motion(matrix, inverse)
    sources = [os.fsencode(p) for p in inputs]
    directory = os.fsencode(outdir)
    targets = [os.path.join(directory, os.path.basename(s)) for s in sources]
    seen = {}
    for source, target in zip(sources, targets):
        if target in seen:
            raise ValueError(
                "inputs %s and %s would both be written to %s"
                % (os.fsdecode(seen[target]), os.fsdecode(source), os.fsdecode(target))
            )
        seen[target] = source
    if not sources:
        return []
    reads = korvane._reads(matrix, sources)
    for target in targets:
        korvane._korvane.check_output(target, reads, bool(force))
    # Largest first, so that no big file starts last while the other workers idle.
    def size(path):
        try:
            return os.stat(path).st_size
        except OSError:
            return 0

    order = sorted(range(len(sources)), key=lambda i: -size(sources[i]))
    futures = client.map(
        _apply_one,
        [sources[i] for i in order],
        [targets[i] for i in order],
        motion=motion,
        gltf_nodes=gltf_nodes,
        force=bool(force),
        pure=False,
    )
    results = client.gather(futures)
    entries = [None] * len(sources)
    for i, entry in zip(order, results):
        entries[i] = entry
    return entries
