"""The add-on in Blender with a window (under Xvfb): one undo step per
operator, and the Korvane tab of the sidebar, saved as a screenshot.

usage: xvfb-run -a -s "-screen 0 1280x800x24" blender --factory-startup --enable-event-simulate \
           --python ui_session.py -- ADDON.zip SCREENSHOT.png

Exits with status 0 when every check passed, 1 otherwise.
"""

import os
import sys
import traceback

import bpy
import numpy as np

args = sys.argv[sys.argv.index("--") + 1 :]
ZIP, SCREENSHOT = args[0], args[1]
BUNNY = "/usr/share/glmark2/models/bunny.obj"


def view3d():
    window = bpy.context.window_manager.windows[0]
    area = next(a for a in window.screen.areas if a.type == "VIEW_3D")
    return window, area, next(r for r in area.regions if r.type == "UI")


def prepare():
    bpy.ops.preferences.addon_install(filepath=ZIP, overwrite=True)
    bpy.ops.preferences.addon_enable(module="korvane_blender")
    for obj in list(bpy.data.objects):
        bpy.data.objects.remove(obj)
    bpy.ops.wm.obj_import(filepath=BUNNY)
    base = bpy.context.selected_objects[0]
    base.name = "Base"
    moved = base.copy()
    moved.name = "Moved"
    bpy.context.scene.collection.objects.link(moved)
    moved.location = base.dimensions * 1.2
    moved.rotation_euler = (0.4, 0.0, 0.7)
    moved.scale = (1.5, 1.5, 1.5)
    base.select_set(True)
    moved.select_set(True)
    bpy.context.view_layer.objects.active = moved
    window, area, _ = view3d()
    area.spaces[0].show_region_ui = True
    main = next(r for r in area.regions if r.type == "WINDOW")
    with bpy.context.temp_override(window=window, area=area, region=main):
        bpy.ops.view3d.view_selected()


def check_undo():
    """Measure, then replay: each is one step of Blender's undo (as the
    panel's buttons call them: EXEC_DEFAULT with an undo step)."""
    window, area, _ = view3d()
    with bpy.context.temp_override(window=window, area=area):
        bpy.ops.ed.undo_push(message="scene ready")
        assert bpy.ops.korvane.measure("EXEC_DEFAULT", True) == {"FINISHED"}
        assert bpy.context.scene.korvane.fits, bpy.context.scene.korvane.message
        before = np.array(bpy.data.objects["Base"].matrix_world)
        bpy.data.objects["Moved"].select_set(False)
        bpy.context.view_layer.objects.active = bpy.data.objects["Base"]
        bpy.ops.korvane.replay("EXEC_DEFAULT", True)
        moved = np.array(bpy.data.objects["Moved"].matrix_world)
        assert np.allclose(np.array(bpy.data.objects["Base"].matrix_world), moved, atol=1e-5)
        bpy.ops.ed.undo()
        assert np.allclose(np.array(bpy.data.objects["Base"].matrix_world), before, atol=1e-7)
        assert bpy.context.scene.korvane.source == "MEASURED"
        bpy.ops.ed.undo()
        assert bpy.context.scene.korvane.source == "NONE"
        bpy.ops.ed.redo()
        assert bpy.context.scene.korvane.fits


def close_splash():
    window, _, _ = view3d()
    window.event_simulate("ESC", "PRESS")
    window.event_simulate("ESC", "RELEASE")


def open_tab():
    # The sidebar's tabs cycle with Ctrl+Wheel; Korvane is the last of them.
    window, _, region = view3d()
    x, y = region.x + region.width // 2, region.y + region.height // 2
    window.event_simulate("MOUSEMOVE", "NOTHING", x=x, y=y)
    for _ in range(3):
        window.event_simulate("WHEELDOWNMOUSE", "PRESS", x=x, y=y, ctrl=True)


def shoot():
    window, area, _ = view3d()
    with bpy.context.temp_override(window=window, area=area):
        bpy.ops.screen.screenshot_area(filepath=SCREENSHOT)


def run():
    steps = [prepare, check_undo, close_splash, open_tab, shoot]

    def step():
        try:
            steps.pop(0)()
        except Exception:
            traceback.print_exc()
            os._exit(1)
        if steps:
            return 1.0
        print("ui_session: all checks passed, screenshot", SCREENSHOT)
        os._exit(0)

    bpy.app.timers.register(step, first_interval=1.0)


run()
