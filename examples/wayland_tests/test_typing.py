"""An example test suite for an application on a headless Wayland desktop,
with the pytest plugin that comes with kestrin (kestrin.testing):

    pip install kestrin pytest        # and: apt-get install sway foot
    pytest examples/wayland_tests

The fixture ``wayland_desktop`` is a private headless sway per test (or per
module or run, with --wayland-desktop-scope); ``kestrin_session`` is a
kestrin.Kestrin on it. As root, sway runs as a uid without an account.
"""

from __future__ import annotations

import time

import numpy as np
import pytest

# key_press takes evdev key codes, which name places on the keyboard; the
# desktop's layout makes them letters.
KEYS = {"h": 35, "e": 18, "l": 38, "o": 24, "i": 23, "q": 16, "\n": 28}


def type_keys(session, text: str) -> None:
    for char in text:
        session.key_press(KEYS[char], 10)


def changed_screenshot(session, output: str, before: np.ndarray, timeout: float = 5.0) -> np.ndarray:
    """The first screenshot of ``output`` that differs from ``before``."""
    deadline = time.monotonic() + timeout
    while True:
        picture = session.screenshot(output)
        if not np.array_equal(picture, before) or time.monotonic() > deadline:
            return picture
        time.sleep(0.05)


@pytest.mark.wayland_desktop(outputs=[(1280, 720), (800, 600)], env={"LANG": "C.UTF-8"})
def test_typing_reaches_the_focused_window_only(wayland_desktop, kestrin_session):
    # The recorder, fullscreen on the second output, has the focus: it gets
    # what is typed.
    recorder = wayland_desktop.recorder("HEADLESS-2")
    type_keys(kestrin_session, "hi")
    assert recorder.wait_for_text("hi") == "hi"
    # The last release may still be on its way when the text is complete.
    keys = recorder.wait_for_count("key", 4)
    assert [(e["keysym"], e["state"]) for e in keys] == [("h", 1), ("h", 0), ("i", 1), ("i", 0)]

    # A terminal on the first output takes the focus; what is typed now
    # shows in its window, and the recorder gets no more of it.
    wayland_desktop.swaymsg("focus", "output", "HEADLESS-1")
    terminal = wayland_desktop.spawn(["foot", "--config=/dev/null", "--app-id=example-terminal", "cat"])
    window = wayland_desktop.wait_for_window(app_id="example-terminal")
    assert window["focused"] and window["rect"]["width"] == 1280
    time.sleep(0.3)  # the terminal's first frame
    before = kestrin_session.screenshot("HEADLESS-1")
    type_keys(kestrin_session, "hello")
    after = changed_screenshot(kestrin_session, "HEADLESS-1", before)
    assert after.shape == (720, 1280, 4)
    assert not np.array_equal(after, before), terminal.output()
    assert recorder.text() == "hi"


@pytest.mark.wayland_desktop(outputs=[(640, 480)], layout="fr")
def test_the_layout_decides_the_letter(wayland_desktop, kestrin_session):
    recorder = wayland_desktop.recorder()
    # On a French keyboard the key where US has Q makes an "a".
    type_keys(kestrin_session, "q")
    assert recorder.wait_for_text("a") == "a"
    assert recorder.events("key")[0]["keysym"] == "a"
