"""The Korvane tab of the 3-D view's sidebar."""

import textwrap

import bpy

from .properties import describe, get_motion, korvane_module


def _wrapped(layout, text, width=36, icon="NONE"):
    # Labels do not wrap; long messages are cut into lines by hand.
    for i, line in enumerate(textwrap.wrap(text, width) or [""]):
        layout.label(text=line, icon=icon if i == 0 else "BLANK1" if icon != "NONE" else "NONE")


class KORVANE_PT_panel(bpy.types.Panel):
    """Measure a motion between two objects; replay, undo, save and load it."""

    bl_label = "Korvane"
    bl_idname = "KORVANE_PT_panel"
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Korvane"

    def draw(self, context):
        layout = self.layout
        settings = context.scene.korvane
        try:
            korvane_module()
        except ImportError as e:
            _wrapped(layout.box(), str(e), icon="ERROR")

        box = layout.box()
        box.label(text="Selected base to active")
        box.prop(settings, "fit")
        box.prop(settings, "motion")
        box.prop(settings, "allow_mirror")
        box.prop(settings, "rough_copy")
        box.prop(settings, "partial_copy")
        box.operator("korvane.measure", icon="DRIVER_DISTANCE")

        box = layout.box()
        if settings.source == "MEASURED":
            box.label(text="Fits" if settings.fits else "Does not fit",
                      icon="CHECKMARK" if settings.fits else "ERROR")
        elif settings.source == "LOADED":
            box.label(text="Loaded from a file", icon="FILE")
        else:
            box.label(text="No motion yet", icon="INFO")
        if settings.message:
            # About 8 pixels a character at the default interface scale.
            _wrapped(box, settings.message, width=max(20, context.region.width // 8))
        try:
            rows = describe(get_motion(settings))
        except ImportError:
            rows = ()  # said in the box above
        except korvane_module().Error as e:
            rows = (("Motion", str(e)),)  # a matrix a script set that is no motion
        for name, value in rows:
            row = box.split(factor=0.3)
            row.label(text=name)
            row.label(text=value)

        box = layout.box()
        box.label(text="Selected objects")
        row = box.row(align=True)
        row.operator("korvane.replay", text="Replay", icon="PLAY").inverse = False
        row.operator("korvane.replay", text="Undo", icon="LOOP_BACK").inverse = True
        box.prop(settings, "to_mesh_data")

        row = layout.row(align=True)
        row.operator("korvane.save_matrix", text="Save", icon="EXPORT")
        row.operator("korvane.load_matrix", text="Load", icon="IMPORT")
