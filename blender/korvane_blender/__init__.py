"""Korvane in Blender: measure how one object was moved, turned and uniformly
scaled into another, and replay that motion, or undo it, on other objects.

The measuring and the matrix files are the work of the ``korvane`` Python
package (the library's own bindings); this add-on gathers the world-space
vertices, keeps the motion in the scene and moves Blender's objects.
"""

bl_info = {
    "name": "Korvane",
    "author": "Korvane developers",
    "version": (0, 1, 1),
    "blender": (3, 4, 0),
    "location": "3D Viewport > Sidebar > Korvane",
    "description": "Measure the motion between two objects; replay or undo it on others",
    "category": "Object",
}

import bpy

from . import operators, panel, properties


class KorvanePreferences(bpy.types.AddonPreferences):
    """Where to find the korvane package when it is not on Blender's Python path."""

    bl_idname = __package__

    module_dir: bpy.props.StringProperty(
        name="Module folder",
        description="Folder that holds the korvane package (e.g. build/native/python); "
        "empty when it is installed on Blender's Python path",
        subtype="DIR_PATH",
    )

    def draw(self, context):
        self.layout.prop(self, "module_dir")
        try:
            module = properties.korvane_module()
            self.layout.label(text="korvane %s" % module.__version__, icon="CHECKMARK")
        except ImportError as e:
            self.layout.label(text=str(e), icon="ERROR")


classes = (
    KorvanePreferences,
    properties.KorvaneSettings,
    operators.KORVANE_OT_measure,
    operators.KORVANE_OT_replay,
    operators.KORVANE_OT_save_matrix,
    operators.KORVANE_OT_load_matrix,
    panel.KORVANE_PT_panel,
)


def register():
    for cls in classes:
        bpy.utils.register_class(cls)
    bpy.types.Scene.korvane = bpy.props.PointerProperty(type=properties.KorvaneSettings)


def unregister():
    del bpy.types.Scene.korvane
    for cls in reversed(classes):
        bpy.utils.unregister_class(cls)
