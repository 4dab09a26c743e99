#!/usr/bin/python3
"""Converts meshes that packages ship (OFF, STL ascii or binary, PLY ascii or
binary, OBJ; any of them gzipped) into plain OBJ files of vertices and
triangles for fit_accuracy's real-mesh mode.

    mesh_to_obj.py OUT_DIR NAME=PATH...

STL repeats every corner: equal corners are merged. Vertices on no face are
dropped (they are no part of the surface the fit is measured against).
Missing inputs are skipped with a note, so the list can name optional packages.
"""
import gzip
import os
import struct
import sys

import numpy as np


def opened(path):
    with open(path, "rb") as f:
        data = f.read()
    return gzip.decompress(data) if path.endswith(".gz") else data


def fan(polygons):
    tris = []
    for p in polygons:
        for k in range(1, len(p) - 1):
            tris.append((p[0], p[k], p[k + 1]))
    return tris


def read_off(data):
    words = []
    for line in data.decode("latin-1").splitlines():
        line = line.split("#", 1)[0]
        words.extend(line.split())
    assert words[0].endswith("OFF")
    nv, nf = int(words[1]), int(words[2])
    at = 4
    v = np.array(words[at:at + 3 * nv], dtype=float).reshape(nv, 3)
    at += 3 * nv
    polys = []
    for _ in range(nf):
        k = int(words[at])
        polys.append([int(x) for x in words[at + 1:at + 1 + k]])
        at += 1 + k
        # Some files give a colour after the corners: skip to the next count
        # only when the record's count cannot be read as one.
    return v, fan(polys)


def read_stl(data):
    if data[:5].lower() == b"solid" and b"facet" in data[:1000]:
        corners = [
            [float(x) for x in line.split()[1:4]]
            for line in data.decode("latin-1").splitlines()
            if line.strip().startswith("vertex")
        ]
        c = np.array(corners, dtype=float)
    else:
        n = struct.unpack_from("<I", data, 80)[0]
        rec = np.frombuffer(data, dtype=np.dtype([("n", "<f4", 3), ("v", "<f4", (3, 3)),
                                                  ("a", "<u2")]), count=n, offset=84)
        c = rec["v"].reshape(-1, 3).astype(float)
    v, inverse = np.unique(c, axis=0, return_inverse=True)
    return v, [tuple(t) for t in inverse.reshape(-1, 3)]


def read_obj(data):
    verts, polys = [], []
    for line in data.decode("latin-1").splitlines():
        w = line.split()
        if not w:
            continue
        if w[0] == "v":
            verts.append([float(x) for x in w[1:4]])
        elif w[0] == "f":
            idx = []
            for t in w[1:]:
                i = int(t.split("/")[0])
                idx.append(i - 1 if i > 0 else len(verts) + i)
            polys.append(idx)
    return np.array(verts, dtype=float), fan(polys)


def read_ply(data):
    end = data.index(b"end_header") + len(b"end_header")
    end = data.index(b"\n", end) + 1
    header = data[:end].decode("latin-1").splitlines()
    fmt = "ascii"
    elements = []
    for line in header:
        w = line.split()
        if not w:
            continue
        if w[0] == "format":
            fmt = w[1]
        elif w[0] == "element":
            elements.append([w[1], int(w[2]), []])
        elif w[0] == "property":
            elements[-1][2].append(w[1:])
    types = {"char": "i1", "uchar": "u1", "short": "i2", "ushort": "u2", "int": "i4",
             "uint": "u4", "float": "f4", "double": "f8", "int8": "i1", "uint8": "u1",
             "int16": "i2", "uint16": "u2", "int32": "i4", "uint32": "u4", "float32": "f4",
             "float64": "f8"}
    body = data[end:]
    verts, polys = None, []
    if fmt == "ascii":
        words = body.split()
        at = 0
        for name, count, props in elements:
            for _ in range(count):
                row = []
                for p in props:
                    if p[0] == "list":
                        k = int(words[at])
                        row.append([int(x) for x in words[at + 1:at + 1 + k]])
                        at += 1 + k
                    else:
                        row.append(float(words[at]))
                        at += 1
                if name == "vertex":
                    verts = verts if verts is not None else []
                    verts.append(row[:3])
                elif name == "face":
                    polys.append(row[0])
        return np.array(verts, dtype=float), fan(polys)
    order = "<" if fmt == "binary_little_endian" else ">"
    at = 0
    for name, count, props in elements:
        if all(p[0] != "list" for p in props):
            dt = np.dtype([(p[1], order + types[p[0]]) for p in props])
            rec = np.frombuffer(body, dtype=dt, count=count, offset=at)
            at += dt.itemsize * count
            if name == "vertex":
                verts = np.stack([rec["x"], rec["y"], rec["z"]], axis=1).astype(float)
            continue
        for _ in range(count):
            row = []
            for p in props:
                if p[0] == "list":
                    ct, it = order + types[p[1]], order + types[p[2]]
                    k = int(np.frombuffer(body, dtype=ct, count=1, offset=at)[0])
                    at += np.dtype(ct).itemsize
                    row.append(np.frombuffer(body, dtype=it, count=k, offset=at).tolist())
                    at += np.dtype(it).itemsize * k
                else:
                    at += np.dtype(types[p[0]]).itemsize
            if name == "face":
                polys.append(row[0])
    return verts, fan(polys)


def convert(path):
    base = path[:-3] if path.endswith(".gz") else path
    ext = os.path.splitext(base)[1].lower()
    data = opened(path)
    reader = {".off": read_off, ".stl": read_stl, ".obj": read_obj, ".ply": read_ply}[ext]
    v, tris = reader(data)
    t = np.array([tr for tr in tris if len(set(tr)) == 3], dtype=np.int64).reshape(-1, 3)
    used = np.unique(t)
    remap = np.full(len(v), -1, dtype=np.int64)
    remap[used] = np.arange(len(used))
    return v[used], remap[t]


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for arg in sys.argv[2:]:
        name, path = arg.split("=", 1)
        if not os.path.exists(path):
            print(f"skipped {name}: {path} is missing")
            continue
        v, t = convert(path)
        with open(os.path.join(out, name + ".obj"), "w") as f:
            f.writelines(f"v {x:.17g} {y:.17g} {z:.17g}\n" for x, y, z in v)
            f.writelines(f"f {a + 1} {b + 1} {c + 1}\n" for a, b, c in t)
        print(f"{name}: {len(v)} vertices, {len(t)} triangles")


if __name__ == "__main__":
    main()
