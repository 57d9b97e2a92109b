#!/usr/bin/env bash
# Runs every test: sets the machine up first (scripts/bootstrap.sh), then the
# C++ unit tests through CTest, the pytest suite, and the sanitizer run
# (scripts/sanitize.sh). Exits non-zero when any test fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

./scripts/bootstrap.sh

status=0
/usr/bin/ctest --test-dir build/tests --output-on-failure -j2 || status=1
.venv/bin/python -m pytest -q "$@" || status=1
# The C++ tests and the Python tests against the fake compositor once more,
# built with AddressSanitizer and UndefinedBehaviorSanitizer in build/sanitize.
./scripts/sanitize.sh || status=1
exit $status
