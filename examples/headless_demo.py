#!/usr/bin/env python3
"""Runs demo.py on a private headless desktop (see private_desktop.py), for
machines with no Wayland session, and stops the desktop afterwards, also when
the demo fails or Ctrl-C comes.

    python examples/headless_demo.py [--size 1280x720] [demo.py's options...]

Options it does not know itself (--word, --output, --screen) go to demo.py.
"""

from __future__ import annotations

import argparse
import signal
import subprocess
import sys
from pathlib import Path

from private_desktop import DesktopError, PrivateDesktop

EXAMPLES = Path(__file__).resolve().parent
DEFAULT_SEAT_KEYBOARD = EXAMPLES.parent / "build" / "tests" / "bin" / "kestrin-seat-keyboard"
SIZES = {"1280x720": (1280, 720), "1920x1080": (1920, 1080)}


def _stop_on_signal(signum: int, frame: object) -> None:
    # Unwinds like Ctrl-C does, so that the desktop is stopped on the way out.
    raise KeyboardInterrupt


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", choices=SIZES, default="1280x720", help="the screen's size (default: %(default)s)")
    parser.add_argument("--seat-keyboard", type=Path, default=DEFAULT_SEAT_KEYBOARD,
                        help="the kestrin-seat-keyboard program (default: %(default)s)")
    args, demo_args = parser.parse_known_args()

    signal.signal(signal.SIGTERM, _stop_on_signal)
    signal.signal(signal.SIGHUP, _stop_on_signal)
    desktop = PrivateDesktop(args.seat_keyboard, *SIZES[args.size])
    try:
        print(f"starting a private headless sway ({args.size}) with a terminal window", flush=True)
        desktop.start()
        print(f"sway is up, its sockets are in {desktop.runtime_dir}", flush=True)
        demo = subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), *demo_args], env=desktop.client_env())
        return demo.returncode
    except DesktopError as error:
        print(f"the headless desktop did not start: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    finally:
        # A second Ctrl-C must not cut the clean-up short.
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN)
        desktop.stop()
        print("stopped the headless desktop", flush=True)


if __name__ == "__main__":
    sys.exit(main())
