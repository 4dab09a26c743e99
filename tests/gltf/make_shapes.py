"""Writes shapes.gltf: what Blender's exporter never writes, by hand. A
triangle strip and a fan sharing one POSITION accessor whose last vertex a
sparse part replaces, under a node with a matrix; a child node (TRS) with
plain triangles without indices and a point primitive; a second scene that is
not the default. Run: python3 make_shapes.py > shapes.gltf"""
import base64, json, struct

def floats(*v):
    return struct.pack("<%df" % len(v), *v)

positions = floats(0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 2, 0.5, 0.3)  # 60 bytes
strip = struct.pack("<4H", 0, 1, 2, 3)                              # 8 bytes
fan = struct.pack("<4B", 4, 0, 1, 3)                                # 4 bytes
sparse_index = struct.pack("<B", 4) + b"\0\0\0"                     # 4 bytes
sparse_value = floats(2, 2, 2)                                      # 12 bytes
plain = floats(0, 0, 0, 0, 0, 1, 1, 0, 0)                           # 36 bytes
data = positions + strip + fan + sparse_index + sparse_value + plain
views = [(0, 60), (60, 8), (68, 4), (72, 1), (76, 12), (88, 36)]
doc = {
    "asset": {"version": "2.0", "generator": "make_shapes.py"},
    "scene": 0,
    "scenes": [{"nodes": [0]}, {"nodes": [2]}],
    "nodes": [
        {"mesh": 0, "children": [1],
         "matrix": [2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 10, 0, 0, 1]},
        {"mesh": 1, "translation": [0, 5, 0], "rotation": [0, 0, 0.7071068, 0.7071068]},
        {"mesh": 1, "translation": [100, 0, 0]},
    ],
    "meshes": [
        {"primitives": [{"attributes": {"POSITION": 0}, "indices": 1, "mode": 5},
                        {"attributes": {"POSITION": 0}, "indices": 2, "mode": 6}]},
        {"primitives": [{"attributes": {"POSITION": 3}},
                        {"attributes": {"POSITION": 3}, "mode": 0}]},
    ],
    "accessors": [
        {"bufferView": 0, "componentType": 5126, "count": 5, "type": "VEC3",
         "min": [0, 0, 0], "max": [2, 2, 2],
         "sparse": {"count": 1, "indices": {"bufferView": 3, "componentType": 5121},
                    "values": {"bufferView": 4}}},
        {"bufferView": 1, "componentType": 5123, "count": 4, "type": "SCALAR"},
        {"bufferView": 2, "componentType": 5121, "count": 4, "type": "SCALAR"},
        {"bufferView": 5, "componentType": 5126, "count": 3, "type": "VEC3",
         "min": [0, 0, 0], "max": [1, 0, 1]},
    ],
    "bufferViews": [{"buffer": 0, "byteOffset": o, "byteLength": n} for o, n in views],
    "buffers": [{"byteLength": len(data),
                 "uri": "data:application/octet-stream;base64," + base64.b64encode(data).decode()}],
}
print(json.dumps(doc, indent=1))
