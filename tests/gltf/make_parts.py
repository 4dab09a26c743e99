"""Writes the glTF test files from Blender: two irregular parts, a child under
a turned, unevenly scaled parent, as .glb, .gltf with parts.bin and .gltf with
a data: buffer; a copy where two nodes show one mesh; and Blender's own world
coordinates of the corners (parts_world.txt). parts_meshopt.glb and
parts_quantized.glb come from gltfpack (-cc, and its defaults) on parts.glb.
Run: blender -b --factory-startup --python make_parts.py -- tests/gltf/parts"""
import bpy, bmesh, math, sys
out = sys.argv[sys.argv.index('--')+1]
bpy.ops.wm.read_factory_settings(use_empty=True)
def part(name, seed):
    bm = bmesh.new()
    bmesh.ops.create_icosphere(bm, subdivisions=1, radius=1.0)
    # An irregular shape: no symmetry for the measuring to trip on.
    for i, v in enumerate(bm.verts):
        v.co.x *= 1.0 + 0.3 * math.sin(i * 1.7 + seed)
        v.co.y *= 0.7 + 0.2 * math.cos(i * 2.3 + seed)
        v.co.z *= 1.3 + 0.1 * i / len(bm.verts)
    me = bpy.data.meshes.new(name)
    bm.to_mesh(me)
    ob = bpy.data.objects.new(name, me)
    bpy.context.scene.collection.objects.link(ob)
    return ob
body = part("Body", 0.0)
body.location = (1.5, -2.0, 0.5)
body.rotation_euler = (0.3, 0.2, 1.1)
body.scale = (1.2, 0.8, 1.0)
arm = part("Arm", 1.0)
arm.parent = body
arm.location = (2.0, 0.0, 0.3)
arm.rotation_euler = (0.0, 0.5, 0.0)
for fmt, ext in (("GLB", ".glb"), ("GLTF_SEPARATE", ".gltf"), ("GLTF_EMBEDDED", "_embedded.gltf")):
    bpy.ops.export_scene.gltf(filepath=out + ext, export_format=fmt, export_apply=False,
                              export_yup=True, export_texcoords=True, export_normals=True)
# A mesh two nodes share with different transforms.
twin = bpy.data.objects.new("Twin", body.data)
bpy.context.scene.collection.objects.link(twin)
twin.location = (-3.0, 1.0, 0.0)
bpy.ops.export_scene.gltf(filepath=out + "_shared.glb", export_format="GLB")
bpy.data.objects.remove(twin)
# The world-space corners as Blender places them, turned Y-up as the exporter does.
with open(out + "_world.txt", "w") as f:
    for ob in (body, arm):
        for v in ob.data.vertices:
            w = ob.matrix_world @ v.co
            f.write("%.7g %.7g %.7g\n" % (w.x, w.z, -w.y))
