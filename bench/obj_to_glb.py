"""Writes the vertices and triangles of an OBJ file as a GLB (float32
positions, uint32 indices, one node with a rotation): the glTF side of
gltf_bench.sh. Usage: /usr/bin/python3 obj_to_glb.py IN.obj OUT.glb"""
import json, struct, sys
import numpy as np

v, f = [], []
with open(sys.argv[1]) as obj:
    for line in obj:
        if line.startswith("v "):
            v.append(line.split()[1:4])
        elif line.startswith("f "):
            corners = [int(c.split("/")[0]) - 1 for c in line.split()[1:]]
            for i in range(1, len(corners) - 1):
                f.append((corners[0], corners[i], corners[i + 1]))
pos = np.asarray(v, dtype=np.float32)
idx = np.asarray(f, dtype=np.uint32).reshape(-1)
blob = pos.tobytes() + idx.tobytes()
doc = {
    "asset": {"version": "2.0"},
    "scene": 0,
    "scenes": [{"nodes": [0]}],
    "nodes": [{"mesh": 0, "rotation": [0, 0.3826834, 0, 0.9238795]}],
    "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "indices": 1}]}],
    "accessors": [
        {"bufferView": 0, "componentType": 5126, "count": len(pos), "type": "VEC3",
         "min": pos.min(axis=0).astype(float).tolist(), "max": pos.max(axis=0).astype(float).tolist()},
        {"bufferView": 1, "componentType": 5125, "count": len(idx), "type": "SCALAR"},
    ],
    "bufferViews": [{"buffer": 0, "byteOffset": 0, "byteLength": pos.nbytes},
                    {"buffer": 0, "byteOffset": pos.nbytes, "byteLength": idx.nbytes}],
    "buffers": [{"byteLength": len(blob)}],
}
text = json.dumps(doc).encode()
text += b" " * (-len(text) % 4)
blob += b"\0" * (-len(blob) % 4)
with open(sys.argv[2], "wb") as out:
    out.write(struct.pack("<III", 0x46546C67, 2, 12 + 8 + len(text) + 8 + len(blob)))
    out.write(struct.pack("<II", len(text), 0x4E4F534A) + text)
    out.write(struct.pack("<II", len(blob), 0x004E4942) + blob)
