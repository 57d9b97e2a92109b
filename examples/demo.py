#!/usr/bin/env python3
"""A first look at kestrin: click, type a word, take a screenshot.

It clicks the middle of the screen so that the window there gets the keyboard,
types a word and Enter into it, waits for the window to draw, and saves a
screenshot as a PNG. Run it in a Wayland session (WAYLAND_DISPLAY set), or
through scripts/demo.sh, which starts a private headless desktop when there is
no session:

    python examples/demo.py [--word kestrin] [--output out/kestrin-demo.png] [--screen NAME]

Mind that on your own desktop the word and Enter go to whatever window is in
the middle of the screen.
"""

from __future__ import annotations

import argparse
import logging
import sys
import time
from pathlib import Path

import numpy as np

import kestrin
from png_writer import write_png

DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "out" / "kestrin-demo.png"

# key_press takes evdev key codes (linux/input-event-codes.h), which name
# places on the keyboard, not letters: the seat's keymap decides the letter.
# These are the places of the letters on a US keyboard. kestrin presses one
# key at a time, so there is no Shift and no capital letters.
KEY_ROWS = {2: "1234567890-=", 16: "qwertyuiop", 30: "asdfghjkl;", 44: "zxcvbnm,./"}
KEY_CODES = {char: first + i for first, row in KEY_ROWS.items() for i, char in enumerate(row)}
KEY_CODES[" "] = 57
KEY_ENTER = 28


def key_codes(word: str) -> list[int]:
    missing = sorted({char for char in word if char not in KEY_CODES})
    if missing:
        raise ValueError(f"no key for {''.join(missing)!r}: use lower-case letters, digits, space and -=;,./")
    return [KEY_CODES[char] for char in word]


def screenshot_when_drawn(k: kestrin.Kestrin, screen: str | None, before: np.ndarray,
                          timeout: float = 5.0, interval: float = 0.25) -> tuple[np.ndarray, bool]:
    """The window draws what was typed a moment after the keys arrive. Takes
    screenshots until one differs from `before` and the next one agrees with
    it (the drawing is done). Returns the last one and whether it settled."""
    deadline = time.monotonic() + timeout
    previous = None
    while True:
        time.sleep(interval)
        picture = k.screenshot(screen)
        if previous is not None and np.array_equal(picture, previous) and not np.array_equal(picture, before):
            return picture, True
        if time.monotonic() > deadline:
            return picture, False
        previous = picture


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--word", default="kestrin", help="what to type before Enter (default: %(default)s)")
    parser.add_argument("--output", type=Path, default=DEFAULT_OUTPUT, help="where the PNG goes (default: %(default)s)")
    parser.add_argument("--screen", help="the output to capture, e.g. HEADLESS-1 (needed when there are several)")
    args = parser.parse_args(argv)
    try:
        codes = key_codes(args.word)
    except ValueError as error:
        parser.error(str(error))

    # kestrin logs each compositor event it handles at INFO. It looks the
    # level up once, so logging must be set up before the first Kestrin().
    logging.basicConfig(level=logging.INFO, format="%(name)s: %(message)s")

    k = kestrin.Kestrin()  # the compositor of $WAYLAND_DISPLAY
    print("connected to the compositor")

    # Coordinates are fractions: 50 of 100 is the middle of the whole layout.
    k.move_mouse(100, 100, 50, 50)
    k.left_click(60, 120)  # hold the button for 60 to 120 ms
    print("clicked the middle of the screen")

    try:
        before = k.screenshot(args.screen)
    except RuntimeError as error:
        # Without a name, kestrin captures the only screen there is.
        sys.exit(f"cannot take a screenshot: {error}\n"
                 "With several screens, name one with --screen (swaymsg -t get_outputs lists them).")
    for code in codes:
        k.key_press(code, 30, 60)
    k.key_press(KEY_ENTER, 30, 60)
    print(f"typed {args.word!r} and Enter")

    picture, settled = screenshot_when_drawn(k, args.screen, before)
    height, width, _ = picture.shape
    changed = int(np.count_nonzero(np.any(picture[:, :, :3] != before[:, :, :3], axis=2)))
    print(f"took a {width}x{height} screenshot of {args.screen or 'the screen'}: "
          f"typing changed {changed} pixels" + ("" if settled else " (the screen did not settle)"))

    args.output.parent.mkdir(parents=True, exist_ok=True)
    size = write_png(args.output, picture)
    print(f"wrote {args.output.resolve()} ({width}x{height}, {size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
