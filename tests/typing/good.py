"""Correct use of the module; the type checker must accept it."""

import numpy as np
import numpy.typing as npt

import kestrin
import kestrin.gnome
from kestrin.testing import HeadlessDesktop, OutputSpec, Recorder


def drive(k: kestrin.Kestrin) -> npt.NDArray[np.uint8]:
    k.move_mouse(1920, 1080, 960, 540)
    k.move_mouse(1920, 1080, 100, 200, x_max=300, y_max=None)
    k.left_click(80, 120)
    k.right_click(duration_ms=10)
    k.key_press(30, 50)
    k.key_down("shift")
    k.key_up(42)
    k.press_keys("ctrl+shift+t")
    k.press_keys(["super", 28], duration_ms=5, duration_ms_max=9)
    k.type_text("Hello\n", interval_ms_max=3)
    return k.screenshot("HEADLESS-1")


def aim(k: kestrin.Kestrin) -> None:
    for output in k.outputs():
        name: str | None = output.name
        middle = (output.width // 2, output.height // 2)
        scale: float = output.scale
        k.move_to(*middle, screen_name=name)
    k.button_down()
    k.button_up(272)
    k.drag(0, 0, 10, 10, "HEADLESS-1", button="right", steps=3, duration_ms=5, duration_ms_max=9)
    k.scroll(-3)
    k.scroll_smooth(10, dx=-4)


session = kestrin.Kestrin()
picture = drive(session)
height, width, channels = picture.shape


def test_on_a_headless_desktop() -> None:
    with HeadlessDesktop(outputs=[(1280, 720), (800, 600, 2.0), OutputSpec(640, 480, position=(0, 720))],
                         layout="de", variant="nodeadkeys", config=["seat * hide_cursor 100"],
                         user="kestrin-sway") as desktop:
        session: kestrin.Kestrin = desktop.connect()
        recorder: Recorder = desktop.recorder("HEADLESS-2")
        session.key_press(30, 10)
        typed: str = recorder.wait_for_text("a")
        keysyms = [event["keysym"] for event in recorder.events("key")]
        app = desktop.spawn(["foot"], env={"LANG": "C.UTF-8"})
        window = desktop.wait_for_window(app_id="foot", timeout=5.0)
        output: str = app.output()
        socket: str = desktop.socket


def watch(k: kestrin.Kestrin) -> None:
    with k.capture(region=(0, 0, 64, 32)) as cap:
        frame = cap.grab()
        cap.grab_into(frame)
        changed = cap.wait_for_change(timeout_ms=100, region=(0, 0, 8, 8))
        if changed is not None:
            picture, rectangles = changed
            x, y, w, h = rectangles[0]
        settled: npt.NDArray[np.uint8] | None = cap.wait_until_stable(200, timeout_ms=2000)
        for frame in cap:
            break


def on_gnome(g: kestrin.gnome.Kestrin) -> npt.NDArray[np.uint8]:
    monitors: list[kestrin.Output] = g.outputs()
    g.move_to(10, 20, screen_name=monitors[0].name)
    g.drag(0, 0, 100, 100, button="right", steps=4)
    g.press_keys(["ctrl", 38])
    g.type_text("Hello\n", interval_ms=1)
    g.scroll(-2, dx=1)
    return g.screenshot()


on_gnome(kestrin.gnome.Kestrin())
