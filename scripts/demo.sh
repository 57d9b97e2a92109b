#!/usr/bin/env bash
# Runs examples/demo.py: clicks the middle of the screen, types a word and
# Enter, and saves a screenshot as out/kestrin-demo.png. Sets the machine up
# first (scripts/bootstrap.sh).
#
# With WAYLAND_DISPLAY set it drives that desktop, your own: the word goes to
# the window in the middle of the screen. Without it, it starts a private
# headless sway with a terminal window, runs the demo there and stops it again.
# Options go to demo.py: --word TEXT, --output PATH, --screen NAME.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

./scripts/bootstrap.sh

if [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "[demo] in 3 s: a click in the middle of your screen, then typing there (Ctrl-C stops it)" >&2
  sleep 3
  exec .venv/bin/python examples/demo.py "$@"
fi
exec .venv/bin/python examples/headless_demo.py "$@"
