#!/usr/bin/python3
"""Writes an OBJ file's mesh with its vertices in random order, as a
re-export may leave it: "v" and "f" lines only (a face's texture and normal
references are dropped), the same surface. For bench/README.md.

usage: /usr/bin/python3 bench/shuffle_obj.py IN.obj OUT.obj [SEED=1]
"""

import sys

import numpy as np


def main():
    source, target = sys.argv[1], sys.argv[2]
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    vertices, faces = [], []
    with open(source, "rb") as f:
        for line in f:
            if line.startswith(b"v "):
                vertices.append(line.split()[1:4])
            elif line.startswith(b"f "):
                faces.append([int(c.split(b"/")[0]) for c in line.split()[1:]])
    v = np.array(vertices, dtype=np.float64)
    where = np.random.default_rng(seed).permutation(len(v))  # new place of vertex i
    shuffled = np.empty_like(v)
    shuffled[where] = v
    with open(target, "w") as out:
        out.write("".join("v %.6f %.6f %.6f\n" % tuple(p) for p in shuffled))
        out.write(
            "".join(
                "f " + " ".join(str(where[c - 1 if c > 0 else len(v) + c] + 1) for c in face) + "\n"
                for face in faces
            )
        )


if __name__ == "__main__":
    main()
