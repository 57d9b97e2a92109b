"""What `import kestrin` publishes: the module's contents, the class `Kestrin`
with its flags, documentation and signatures, and how the module behaves when
imported again, from a sub-interpreter, or without `logging` or NumPy."""

import copy
import inspect
import pickle
import weakref

import pytest

import kestrin
from kestrin import Kestrin
from interpreter import run_python

METHOD_SIGNATURES = {
    "move_mouse": "(self, /, x_extent, y_extent, x, y, x_max=None, y_max=None)",
    "left_click": "(self, /, duration_ms, duration_ms_max=None)",
    "right_click": "(self, /, duration_ms, duration_ms_max=None)",
    "key_press": "(self, /, key, duration_ms, duration_ms_max=None)",
    "screenshot": "(self, /, screen_name=None)",
}


class TestModuleContents:
    def test_all_names_only_the_class(self):
        assert kestrin.__all__ == ["Kestrin"]
        assert kestrin.Kestrin is Kestrin

    def test_docstring_is_one_line(self):
        assert isinstance(kestrin.__doc__, str)
        assert kestrin.__doc__.strip()
        assert "\n" not in kestrin.__doc__.strip()

    def test_only_the_class_and_its_record_and_capture_types_are_public(self):
        # Besides the testing kit, once something has imported it (its pytest
        # plugin has).
        public = {name for name in vars(kestrin) if not name.startswith("_")}
        assert public - {"testing"} == {"Kestrin", "Output", "Capture"}
        assert kestrin.__all__ == ["Kestrin"]

    def test_output_is_a_read_only_record(self):
        fields = ("name", "description", "x", "y", "width", "height", "logical_width", "logical_height",
                  "scale", "transform", "refresh_mhz")
        record = kestrin.Output(("DP-1", None, 0, 0, 1920, 1080, 1920, 1080, 1.0, "normal", 60000))
        assert tuple(getattr(record, field) for field in fields) == tuple(record)
        with pytest.raises(AttributeError):
            record.x = 5

    def test_internal_fault_is_not_an_attribute(self):
        assert not hasattr(kestrin, "InternalFault")


NEW_METHOD_SIGNATURES = {
    "outputs": "(self, /)",
    "move_to": "(self, /, x, y, screen_name=None)",
    "button_down": "(self, /, button='left')",
    "button_up": "(self, /, button='left')",
    "drag": "(self, /, x1, y1, x2, y2, screen_name=None, button='left', steps=10, duration_ms=0, duration_ms_max=None)",
    "scroll": "(self, /, dy, dx=0)",
    "scroll_smooth": "(self, /, dy, dx=0)",
    "key_down": "(self, /, key)",
    "key_up": "(self, /, key)",
    "press_keys": "(self, /, keys, duration_ms=0, duration_ms_max=None)",
    "type_text": "(self, /, text, interval_ms=0, interval_ms_max=None)",
    "capture": "(self, /, screen_name=None, region=None)",
}


class TestClass:
    def test_names_and_module(self):
        assert Kestrin.__name__ == "Kestrin"
        assert Kestrin.__qualname__ == "Kestrin"
        assert Kestrin.__module__ == "builtins"
        assert Kestrin.__bases__ == (object,)

    def test_docstring_is_empty_and_signature_is_text_signature(self):
        assert Kestrin.__doc__ == ""
        assert Kestrin.__text_signature__ == "(wayland_display=None)"
        assert str(inspect.signature(Kestrin)) == "(wayland_display=None)"

    @pytest.mark.parametrize("name", sorted(NEW_METHOD_SIGNATURES))
    def test_new_method_signature_and_docstring(self, name):
        method = getattr(Kestrin, name)
        assert str(inspect.signature(method)) == NEW_METHOD_SIGNATURES[name]
        assert method.__doc__.strip()

    @pytest.mark.parametrize("name", sorted(METHOD_SIGNATURES))
    def test_method_signature_and_docstring(self, name):
        method = getattr(Kestrin, name)
        assert str(inspect.signature(method)) == METHOD_SIGNATURES[name]
        assert method.__doc__ is None
        assert method.__text_signature__ == METHOD_SIGNATURES[name].replace("self, /", "$self")

    def test_no_methods_beyond_the_known_ones(self):
        own = {name for name in vars(Kestrin) if not name.startswith("__")}
        assert own == set(METHOD_SIGNATURES) | set(NEW_METHOD_SIGNATURES)

    def test_only_new_is_special(self):
        assert "__new__" in vars(Kestrin)
        for special in ("__init__", "__repr__", "__str__", "__eq__", "__hash__", "__enter__", "__reduce__"):
            assert special not in vars(Kestrin), special

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError, match="not an acceptable base type"):

            class Derived(Kestrin):
                pass

    def test_not_collected_by_the_cycle_collector(self):
        # Instances hold no Python references, so the type opts out of GC.
        assert not Kestrin.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC


class TestInstanceFlags:
    """Needs a constructed object, so a compositor to construct it against."""

    def test_no_instance_dict_and_no_weak_references(self, fake):
        k = Kestrin(fake().socket_path)
        with pytest.raises(AttributeError):
            k.anything = 1
        with pytest.raises(AttributeError):
            k.__dict__
        with pytest.raises(TypeError):
            weakref.ref(k)

    def test_cannot_be_copied_or_pickled(self, fake):
        compositor = fake()
        k = Kestrin(compositor.socket_path)
        for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError):
                attempt(k)
        with pytest.raises(TypeError):
            object.__new__(Kestrin)
        # None of it made a second connection.
        assert compositor.names().count("wl_display.get_registry") == 1

    def test_repr_is_the_default_one(self, fake):
        k = Kestrin(fake().socket_path)
        assert repr(k) == f"<builtins.Kestrin object at {hex(id(k))}>"


class TestImport:
    def test_initialising_again_returns_the_same_module(self):
        result = run_python(
            """
            import importlib, sys
            import kestrin
            first = kestrin
            del sys.modules["kestrin"]
            import kestrin
            assert kestrin is first, "a second module object"
            assert importlib.reload(kestrin) is first
            assert kestrin.__all__ == ["Kestrin"], kestrin.__all__
            print("ok")
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ok"

    def test_a_sub_interpreter_is_refused(self):
        result = run_python(
            """
            import kestrin
            # A legacy sub-interpreter lets single-phase modules load, so the
            # refusal has to come from the module itself.
            try:
                import _xxsubinterpreters as interpreters  # 3.12
            except ImportError:
                import _interpreters as interpreters  # 3.13 and later
                sub = interpreters.create(interpreters.new_config("legacy"))
                failure = interpreters.exec(sub, "import kestrin")
                print("imported" if failure is None else f"{failure.type.__name__}: {failure.msg}")
            else:
                sub = interpreters.create(isolated=False)
                try:
                    interpreters.run_string(sub, "import kestrin")
                except interpreters.RunFailedError as error:
                    print(str(error).replace("<class 'ImportError'>", "ImportError"))
                else:
                    print("imported")
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("ImportError:")
        assert "sub-interpreter" in result.stdout

    def test_import_works_without_numpy(self):
        result = run_python(
            """
            import sys
            sys.modules["numpy"] = None
            import kestrin
            assert sys.modules["numpy"] is None
            print(kestrin.Kestrin.__name__)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "Kestrin"

    def test_import_does_not_load_numpy(self):
        result = run_python("import sys, kestrin; print('numpy' in sys.modules)")
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "False"

    def test_failing_logging_import_raises_internal_fault(self):
        result = run_python(
            """
            import sys
            sys.modules["logging"] = None
            for attempt in range(2):
                try:
                    import kestrin
                except Exception as error:
                    print("caught as Exception", type(error))
                except BaseException as error:
                    print(type(error).__qualname__, type(error).__module__, error)
            """
        )
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert len(lines) == 2
        for line in lines:
            assert line.startswith("InternalFault kestrin Failed to initialize python logging"), line
            assert "import of logging halted" in line
        # The diagnostic names where it happened.
        assert "internal fault at src/logging_bridge.cpp:" in result.stderr
