"""Records of the core in Python's `logging`. Which levels a logger admits is
decided at the first record of each target and kept for the process, so every
test here runs in a fresh interpreter."""

import json
from interpreter import run_python

WEIRD_INTERFACE = "odd%s_interface%d%%"

FULL_GLOBALS = [
    {"interface": "wl_shm", "version": 1},
    {"interface": "wl_seat", "version": 7},
    {"interface": "wl_output", "version": 4, "name": "HEADLESS-1"},
    {"interface": "zwp_virtual_keyboard_manager_v1", "version": 1},
    {"interface": "zwlr_virtual_pointer_manager_v1", "version": 2},
    {"interface": "zwlr_screencopy_manager_v1", "version": 3},
]


def run_json(code, *args):
    result = run_python(code, *args)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), result.stderr


# Collects what reaches the handlers of "kestrin" and below.
COLLECT = """
import json, logging, sys
import kestrin

class Collect(logging.Handler):
    def __init__(self):
        super().__init__(0)
        self.records = []
    def emit(self, record):
        self.records.append(record)

collect = Collect()
"""


def test_info_records_with_basic_config(fake):
    report, _ = run_json(
        COLLECT
        + """
logging.basicConfig(level=logging.INFO)
logging.getLogger().addHandler(collect)
kestrin.Kestrin(sys.argv[1])
registry = [r for r in collect.records if r.getMessage().startswith("Registry event: ")]
print(json.dumps({
    "count": len(registry),
    "loggers": sorted({r.name for r in registry}),
    "levels": sorted({r.levelno for r in collect.records}),
    "paths": sorted({r.pathname for r in registry}),
    "lines": [r.lineno for r in registry],
    "args": [list(r.args) for r in registry],
    "func": sorted({str(r.funcName) for r in registry}),
    "exc": [r.exc_info for r in registry],
}))
""",
        fake().socket_path,
    )
    assert report["count"] >= 1
    assert report["loggers"] == ["kestrin.kestrin_lib.app_data"]
    assert report["levels"] == [20]
    assert len(report["paths"]) == 1 and report["paths"][0].endswith("src/kestrin_lib/app_data.cpp")
    assert all(line > 0 for line in report["lines"])
    assert report["args"] == [[]] * report["count"]
    assert report["func"] == ["None"]
    assert report["exc"] == [None] * report["count"]


def test_percent_signs_pass_unchanged(fake):
    scenario = {"globals": FULL_GLOBALS + [{"interface": WEIRD_INTERFACE, "version": 1}]}
    report, stderr = run_json(
        COLLECT
        + """
logging.getLogger().addHandler(collect)
import io
stream = io.StringIO()
handler = logging.StreamHandler(stream)
handler.setFormatter(logging.Formatter("%(name)s|%(message)s"))
logger = logging.getLogger("kestrin")
logger.setLevel(logging.INFO)
logger.addHandler(handler)
kestrin.Kestrin(sys.argv[1])
print(json.dumps({"formatted": stream.getvalue()}))
""",
        fake(scenario).socket_path,
    )
    assert "Logging error" not in stderr
    lines = [line for line in report["formatted"].splitlines() if WEIRD_INTERFACE in line]
    assert len(lines) == 1
    assert lines[0].startswith("kestrin.kestrin_lib.app_data|Registry event: ")


def test_default_configuration_caches_warn(fake):
    """The first record of a target fixes what its logger admits; lowering
    the level afterwards shows nothing more of that target."""
    report, _ = run_json(
        COLLECT
        + """
logging.getLogger().addHandler(collect)
asked = []
original_get_logger = logging.getLogger
def get_logger(name=None):
    asked.append(name)
    return original_get_logger(name)
logging.getLogger = get_logger

probes = []
original_is_enabled_for = logging.Logger.isEnabledFor
def is_enabled_for(self, level):
    if self.name.startswith("kestrin"):
        probes.append([self.name, level])
    return original_is_enabled_for(self, level)
logging.Logger.isEnabledFor = is_enabled_for

k = kestrin.Kestrin(sys.argv[1])
first = {"asked": list(asked), "probes": list(probes)}
logging.getLogger("kestrin").setLevel(logging.DEBUG)
kestrin.Kestrin(sys.argv[1])
k.screenshot()
print(json.dumps({
    "first": first,
    "probes": probes,
    "asked": asked,
    "records": sorted({r.name for r in collect.records}),
}))
""",
        fake().socket_path,
    )
    app_data = "kestrin.kestrin_lib.app_data"
    # One getLogger, then isEnabledFor(20) false, then the probes up to warn.
    assert report["first"]["asked"] == [app_data]
    assert report["first"]["probes"] == [[app_data, level] for level in (20, 5, 10, 20, 30)]
    # Later records of that target never reached Python again ...
    assert [p for p in report["probes"] if p[0] == app_data] == report["first"]["probes"]
    assert report["asked"].count(app_data) == 1
    assert app_data not in report["records"]
    # ... while the shm target, first met after the change, is shown.
    assert report["records"] == ["kestrin.kestrin_lib.shm"]


def test_stricter_configuration_takes_effect(fake):
    report, _ = run_json(
        COLLECT
        + """
logging.getLogger().addHandler(collect)
logging.getLogger("kestrin").setLevel(logging.INFO)
kestrin.Kestrin(sys.argv[1])
before = len(collect.records)
logging.getLogger("kestrin").setLevel(logging.WARNING)
kestrin.Kestrin(sys.argv[1])
print(json.dumps({"before": before, "after": len(collect.records)}))
""",
        fake().socket_path,
    )
    assert report["before"] > 0
    assert report["after"] == report["before"]


def test_raising_handler_and_filter(fake):
    report, stderr = run_json(
        COLLECT
        + """
class Raising(logging.Handler):
    def emit(self, record):
        raise ZeroDivisionError("handler " + record.getMessage())

logger = logging.getLogger("kestrin.kestrin_lib.app_data")
logger.setLevel(logging.INFO)
logger.addHandler(Raising())
k = kestrin.Kestrin(sys.argv[1])
logger.handlers.clear()

def bad_filter(record):
    raise KeyError("filter")
logger.addFilter(bad_filter)
array = k.screenshot()
print(json.dumps({
    "constructed": type(k).__name__,
    "shape": list(array.shape),
    "last_exc": hasattr(sys, "last_exc") or hasattr(sys, "last_value"),
}))
""",
        fake().socket_path,
    )
    assert report["constructed"] == "Kestrin"
    assert len(report["shape"]) == 3
    assert not report["last_exc"]
    assert "Traceback (most recent call last)" in stderr
    assert "ZeroDivisionError: handler Registry event: " in stderr
    assert "KeyError: 'filter'" in stderr


def test_failing_filter_probe_keeps_asking_python(fake):
    """When the probes of a new logger raise, every later record of the target
    still reaches isEnabledFor instead of being decided from the cache."""
    report, stderr = run_json(
        COLLECT
        + """
calls = []
logger = logging.getLogger("kestrin.kestrin_lib.app_data")
def is_enabled_for(level):
    calls.append(level)
    if len(calls) == 2:
        raise LookupError("probe")
    return level >= logging.WARNING
logger.isEnabledFor = is_enabled_for
kestrin.Kestrin(sys.argv[1])
print(json.dumps({"calls": calls}))
""",
        fake().socket_path,
    )
    calls = report["calls"]
    assert calls[:2] == [20, 5]
    assert len(calls) > 2 and set(calls[2:]) == {20}
    assert "LookupError: probe" in stderr
