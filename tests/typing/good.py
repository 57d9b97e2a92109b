"""Correct use of the module; the type checker must accept it."""

import numpy as np
import numpy.typing as npt

import kestrin


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


session = kestrin.Kestrin()
picture = drive(session)
height, width, channels = picture.shape
