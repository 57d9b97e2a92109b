"""python -m kestrin.testing: what the testing kit is, and its programs."""

from __future__ import annotations

import argparse
import sys

DESCRIPTION = """\
kestrin.testing: headless Wayland desktops for tests of your application.

  from kestrin.testing import HeadlessDesktop
  with HeadlessDesktop(outputs=[(1280, 720)], layout="de") as desktop:
      app = desktop.spawn(["foot"])           # runs inside, output captured
      desktop.wait_for_window(app_id="foot")  # through sway's IPC
      recorder = desktop.recorder()           # a window that records input
      session = desktop.connect()             # a kestrin.Kestrin
      ...

pytest (plugin loaded through the pytest11 entry point): the fixtures
wayland_desktop and kestrin_session, the marker
@pytest.mark.wayland_desktop(outputs=[(1280, 720)], layout="fr"), and the
options --wayland-desktop-scope, --wayland-desktop-skip-missing,
--wayland-desktop-user and --wayland-desktop-create-user.

System dependency: sway (Debian: apt-get install sway). sway refuses to run as
root: as root it runs as a uid without an account (the first from 65533 down
that no account or group has; nothing is added to the system), or as
user="NAME" (an existing unprivileged user), or with create_user=True as the
system user kestrin-sway.

Programs installed with the module (in {bin_dir}):
  kestrin-seat-keyboard [--layout L] [--variant V] [--options O]
      (also a command of that name where pip installs commands)
      holds a virtual keyboard with that keymap on the seat of
      $WAYLAND_DISPLAY, so that a headless seat has the keyboard kestrin
      needs; prints "ready"; ends when its stdin closes.
  kestrin-probe [--windowed]
      the recorder: shows a known picture fullscreen (or as an ordinary
      window) and prints every event it receives as a JSON line.
"""


def main(argv: list[str] | None = None) -> int:
    from ._desktop import BIN_DIR

    parser = argparse.ArgumentParser(
        prog="python -m kestrin.testing",
        description=DESCRIPTION.format(bin_dir=BIN_DIR),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--check", action="store_true",
                        help="start a desktop with one output and stop it again; prints the time it took")
    parser.add_argument("--user", metavar="NAME", help="with --check as root: the user sway runs as")
    parser.add_argument("--create-user", action="store_true",
                        help="with --check as root: run sway as the system user kestrin-sway, made if missing")
    args = parser.parse_args(argv)
    if args.check:
        import time

        from ._desktop import DesktopError, HeadlessDesktop

        started = time.monotonic()
        try:
            with HeadlessDesktop(user=args.user, create_user=args.create_user):
                print(f"a headless desktop started in {(time.monotonic() - started) * 1000:.0f} ms")
        except DesktopError as error:
            print(error, file=sys.stderr)
            return 1
        return 0
    parser.print_help()
    return 0


if __name__ == "__main__":
    sys.exit(main())
