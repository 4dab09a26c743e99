"""Writes each STL file under SRC as PLY into DEST, the ways other tools write
PLY: ASCII with normals, binary little-endian float with a colour, binary
big-endian double without faces (a point cloud). Corners welded as numpy's
unique does (sorted), so the vertex order differs from the STL's.

Usage: /usr/bin/python3 bench/stl_to_ply.py SRC DEST
"""
import os
import sys

import numpy as np


def read_stl(path):
    data = open(path, "rb").read()
    if len(data) >= 84:
        n = int.from_bytes(data[80:84], "little")
        if len(data) == 84 + 50 * n:
            rec = np.frombuffer(data[84:], dtype=[("n", "<f4", 3), ("v", "<f4", (3, 3)), ("a", "<u2")])
            return rec["v"].reshape(-1, 3).astype(np.float64)
    corners = [l.split()[1:4] for l in data.decode("latin-1").splitlines() if l.strip().lower().startswith("vertex")]
    return np.array(corners, dtype=np.float64).reshape(-1, 3)


def write(path, fmt, v, faces, normals, colour, double):
    t = "double" if double else "float"
    head = "ply\nformat %s 1.0\ncomment converted from STL\nelement vertex %d\n" % (fmt, len(v))
    head += "".join("property %s %s\n" % (t, a) for a in "xyz")
    if normals is not None:
        head += "".join("property %s n%s\n" % (t, a) for a in "xyz")
    if colour:
        head += "property uchar red\nproperty uchar green\nproperty uchar blue\n"
    if faces is not None:
        head += "element face %d\nproperty list uchar int vertex_indices\n" % len(faces)
    head += "end_header\n"
    with open(path, "wb") as f:
        f.write(head.encode())
        cols = [v] + ([normals] if normals is not None else [])
        if fmt == "ascii":
            np.savetxt(f, np.hstack(cols), fmt="%.7g")
            if faces is not None:
                np.savetxt(f, np.hstack([np.full((len(faces), 1), 3), faces]), fmt="%d")
            return
        e = "<" if fmt.endswith("little_endian") else ">"
        fields = [("p", e + ("f8" if double else "f4"), (len(cols) * 3,))]
        if colour:
            fields.append(("c", "u1", 3))
        rec = np.zeros(len(v), dtype=fields)
        rec["p"] = np.hstack(cols)
        if colour:
            rec["c"] = (np.arange(len(v)) % 256)[:, None]
        f.write(rec.tobytes())
        if faces is not None:
            fr = np.zeros(len(faces), dtype=[("n", "u1"), ("i", e + "i4", 3)])
            fr["n"], fr["i"] = 3, faces
            f.write(fr.tobytes())


src, dest = sys.argv[1:3]
os.makedirs(dest, exist_ok=True)
for root, _, files in os.walk(src):
    for name in sorted(files):
        if not name.lower().endswith(".stl"):
            continue
        try:
            corners = read_stl(os.path.join(root, name))
        except (ValueError, UnicodeDecodeError):
            continue
        if len(corners) < 9 or len(corners) % 3:
            continue  # empty, or ASCII facets of more than three corners
        v, index = np.unique(corners, axis=0, return_inverse=True)
        faces = index.reshape(-1).reshape(-1, 3)
        n = np.zeros_like(v)
        tri = v[faces]
        np.add.at(n, faces, np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])[:, None, :].repeat(3, 1))
        n /= np.maximum(np.linalg.norm(n, axis=1, keepdims=True), 1e-300)
        stem = os.path.splitext(name)[0]
        write(os.path.join(dest, stem + "_ascii.ply"), "ascii", v, faces, n, False, False)
        write(os.path.join(dest, stem + "_le.ply"), "binary_little_endian", v, faces, None, True, False)
        write(os.path.join(dest, stem + "_be_points.ply"), "binary_big_endian", v, None, n, False, True)
