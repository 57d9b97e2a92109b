"""How `screenshot` hands the capture to Python: the array it returns, and
what happens when NumPy cannot be reached."""

import gc
import json

import pytest

from kestrin import Kestrin
from interpreter import run_python

np = pytest.importorskip("numpy")


class TestArray:
    def test_layout(self, k):
        array = k.screenshot()
        assert type(array) is np.ndarray
        assert array.dtype == np.uint8
        assert array.ndim == 3 and array.shape[2] == 4
        height, width, _ = array.shape
        assert height > 0 and width > 0
        assert array.strides == (width * 4, 4, 1)
        assert array.flags.c_contiguous
        assert array.flags.writeable
        assert array.flags.aligned

    def test_none_is_like_no_name(self, k, compositor):
        first = k.screenshot()
        second = k.screenshot(None)
        third = k.screenshot(screen_name=None)
        assert first.shape == second.shape == third.shape
        assert compositor.names().count("zwlr_screencopy_manager_v1.capture_output") == 3

    def test_owns_its_memory(self, compositor):
        k = Kestrin(compositor.socket_path)
        array = k.screenshot()
        copy = array.copy()
        # The memory is not NumPy's own, but held by the base object.
        assert not array.flags.owndata
        assert array.base is not None
        del k
        gc.collect()
        assert np.array_equal(array, copy)
        array[...] = 7
        assert int(array.sum()) == 7 * array.size

    def test_arrays_are_independent(self, k):
        first = k.screenshot()
        second = k.screenshot()
        assert not np.shares_memory(first, second)


def test_without_numpy_a_capture_ends_in_internal_fault(compositor):
    result = run_python(
        """
        import json, sys
        sys.modules["numpy"] = None
        import kestrin
        k = kestrin.Kestrin(sys.argv[1])
        try:
            k.screenshot()
        except Exception as error:
            outcome = "caught as Exception: " + repr(error)
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        # The object stays usable, and NumPy is tried again on the next call.
        k.left_click(0)
        del sys.modules["numpy"]
        shape = k.screenshot().shape
        print(json.dumps({"outcome": outcome, "shape": list(shape)}))
        """,
        compositor.socket_path,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["outcome"].startswith("InternalFault: Failed to access NumPy array API capsule")
    assert len(report["shape"]) == 3
    assert compositor.names().count("zwlr_screencopy_manager_v1.capture_output") == 2
    assert "internal fault at " in result.stderr
