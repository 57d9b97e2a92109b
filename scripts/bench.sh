#!/usr/bin/env bash
# Runs the benchmark suite: sets the machine up and builds first
# (scripts/bootstrap.sh), then measures against a private headless sway and
# prints one table on stdout (progress and build output go to stderr).
# Arguments go to benchmarks/run.py: --quick, --wait-idle SECONDS, --rounds N.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

./scripts/bootstrap.sh >&2
exec .venv/bin/python benchmarks/run.py "$@"
