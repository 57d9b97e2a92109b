"""Shared pytest set-up: where the test programs are, and the import path of
the test support modules."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SUPPORT = ROOT / "tests" / "support"
BIN_DIR = pathlib.Path(os.environ.get("KESTRIN_TEST_BIN", ROOT / "build" / "tests" / "bin"))

if str(SUPPORT) not in sys.path:
    sys.path.insert(0, str(SUPPORT))
