"""Conversion of the methods' and the constructor's arguments: which values
are accepted, and the exact exceptions for the others."""

import pytest

from kestrin import Kestrin

OUT_OF_RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class TypeErrorWithCause:
    def __index__(self):
        raise TypeError("refused") from ValueError("the root")


class TypeErrorWithoutCause:
    def __index__(self):
        raise TypeError("refused plainly")


class TypeErrorSubclass(TypeError):
    pass


class RaisesSubclass:
    error = TypeErrorSubclass("a subclass")

    def __index__(self):
        raise self.error


class RaisesValueError:
    error = ValueError("not a type error")

    def __index__(self):
        raise self.error


class Text(str):
    pass


class TestUnsignedIntegers:
    @pytest.mark.parametrize("value", [-1, -(2**31), 2**32, 2**40, 2**63 - 1])
    def test_out_of_range_within_c_long(self, k, value):
        with pytest.raises(OverflowError) as caught:
            k.left_click(value)
        assert str(caught.value) == OUT_OF_RANGE

    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100])
    def test_beyond_c_long_is_the_interpreters_error(self, k, value):
        with pytest.raises(OverflowError) as caught:
            k.left_click(value)
        assert str(caught.value) == "Python int too large to convert to C long"

    @pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**64, 2**100, Index(2**70)])
    @pytest.mark.parametrize(
        "call",
        [
            pytest.param(lambda k, v: k.drag(1, 2, 3, 4, steps=v), id="drag"),
            pytest.param(lambda k, v: k.move_to(v, 0), id="move_to"),
            pytest.param(lambda k, v: k.type_text("a", v), id="type_text"),
            pytest.param(lambda k, v: k.press_keys([v]), id="press_keys"),
            pytest.param(lambda k, v: k.key_down(v), id="key_down"),
            pytest.param(lambda k, v: k.button_down(v), id="button_down"),
            pytest.param(lambda k, v: k.scroll(v), id="scroll"),
            pytest.param(lambda k, v: k.capture(region=(0, 0, v, 1)), id="capture"),
        ],
    )
    def test_beyond_64_bits_the_later_methods_say_out_of_range(self, k, compositor, call, value):
        before = len(compositor.requests())
        with pytest.raises(OverflowError) as caught:
            call(k, value)
        assert str(caught.value) == OUT_OF_RANGE
        assert len(compositor.requests()) == before

    def test_bounds_are_accepted(self, k):
        top = 2**32 - 1
        assert k.move_mouse(top, top, top, top, top, top) is None
        assert k.move_mouse(0, 0, 0, 0, 0, 0) is None
        assert k.key_press(top, 0, 0) is None

    def test_bool_and_index_objects_are_integers(self, k):
        assert k.left_click(False, True) is None
        assert k.move_mouse(Index(100), Index(100), True, Index(0)) is None
        with pytest.raises(OverflowError) as caught:
            k.left_click(Index(-5))
        assert str(caught.value) == OUT_OF_RANGE

    @pytest.mark.parametrize(
        "value, type_name",
        [(5.0, "float"), ("5", "str"), (None, "NoneType"), (b"5", "bytes"), ([], "list"), (1j, "complex")],
    )
    def test_non_integers_name_the_parameter(self, k, value, type_name):
        with pytest.raises(TypeError) as caught:
            k.left_click(value)
        assert str(caught.value) == (
            f"argument 'duration_ms': '{type_name}' object cannot be interpreted as an integer"
        )

    def test_key_is_a_number_not_a_character(self, k):
        with pytest.raises(TypeError) as caught:
            k.key_press("a", 10)
        assert str(caught.value) == "argument 'key': 'str' object cannot be interpreted as an integer"

    def test_optional_maximum_is_checked_too(self, k):
        with pytest.raises(TypeError) as caught:
            k.right_click(1, 2.5)
        assert str(caught.value) == (
            "argument 'duration_ms_max': 'float' object cannot be interpreted as an integer"
        )
        with pytest.raises(OverflowError):
            k.key_press(1, 1, -1)

    def test_conversion_follows_parameter_order(self, k):
        messages = []
        for call in (
            lambda: k.move_mouse("a", "b", "c", "d"),
            lambda: k.move_mouse(1, 2, 3, "d", x_max="e"),
            # Keyword order does not matter, parameter order does.
            lambda: k.move_mouse(1, 2, 3, 4, y_max="f", x_max=-1),
            lambda: k.move_mouse(y="g", x="h", y_extent=1, x_extent=1),
        ):
            try:
                call()
            except (TypeError, OverflowError) as error:
                messages.append(str(error).split(":")[0])
        assert messages == ["argument 'x_extent'", "argument 'y'", OUT_OF_RANGE, "argument 'x'"]


def request_args(compositor, name):
    return [record["args"] for record in compositor.requests() if f"{record['interface']}.{record['request']}" == name]


class TestValuesReachTheCore:
    def test_each_parameter_lands_in_its_place(self, k, compositor):
        k.move_mouse(True, 2, False, Index(1))
        # motion_absolute(time, x, y, x_extent, y_extent)
        assert request_args(compositor, "zwlr_virtual_pointer_v1.motion_absolute") == [[0, 0, 1, 1, 2]]

    def test_largest_value_is_not_truncated(self, k, compositor):
        top = 2**32 - 1
        k.key_press(top, 0)
        keys = request_args(compositor, "zwp_virtual_keyboard_v1.key")
        assert [args[1] for args in keys] == [top, top]

    def test_maximum_makes_a_range_only_where_given(self, k, compositor):
        for _ in range(20):
            k.move_mouse(1920, 1080, 10, 20, y_max=30)
        motions = request_args(compositor, "zwlr_virtual_pointer_v1.motion_absolute")
        assert len(motions) == 20
        assert {args[1] for args in motions} == {10}
        assert all(20 <= args[2] <= 30 for args in motions)
        assert {(args[3], args[4]) for args in motions} == {(1920, 1080)}


class TestCauses:
    def test_type_error_is_renamed_and_keeps_its_cause(self, k):
        with pytest.raises(TypeError) as caught:
            k.left_click(TypeErrorWithCause())
        error = caught.value
        assert type(error) is TypeError
        assert str(error) == "argument 'duration_ms': refused"
        assert isinstance(error.__cause__, ValueError)
        assert str(error.__cause__) == "the root"

    def test_renamed_error_without_cause(self, k):
        with pytest.raises(TypeError) as caught:
            k.key_press(1, 2, TypeErrorWithoutCause())
        assert str(caught.value) == "argument 'duration_ms_max': refused plainly"
        assert caught.value.__cause__ is None

    @pytest.mark.parametrize("raising", [RaisesSubclass, RaisesValueError])
    def test_other_exceptions_pass_unchanged(self, k, raising):
        with pytest.raises(Exception) as caught:
            k.left_click(raising())
        assert caught.value is raising.error
        assert str(caught.value) == str(raising.error)
        # The class keeps the exception, whose traceback would keep the
        # session (and its socket) alive past the test.
        raising.error.with_traceback(None)


class TestText:
    def test_screenshot_rejects_non_text_and_captures_nothing(self, k, compositor):
        for value, type_name in ((5, "int"), (b"HEADLESS-1", "bytes"), (Text, "type")):
            with pytest.raises(TypeError) as caught:
                k.screenshot(value)
            assert str(caught.value) == (
                f"argument 'screen_name': '{type_name}' object cannot be converted to 'PyString'"
            )
        assert "zwlr_screencopy_manager_v1.capture_output" not in compositor.names()

    def test_str_subclass_is_text(self, k):
        with pytest.raises(RuntimeError) as caught:
            k.screenshot(Text("no-such-output"))
        assert str(caught.value) == "no WLOutput with name no-such-output"

    def test_lone_surrogate_is_the_interpreters_error(self, k, compositor):
        with pytest.raises(UnicodeEncodeError):
            k.screenshot("\ud800")
        with pytest.raises(UnicodeEncodeError):
            Kestrin("\udcff")
        assert "zwlr_screencopy_manager_v1.capture_output" not in compositor.names()

    def test_text_reaches_the_core_unchanged(self, k):
        name = "Ünïcode\u2603 out\x00put"
        with pytest.raises(RuntimeError) as caught:
            k.screenshot(name)
        assert str(caught.value) == "no WLOutput with name " + name


class TestKeysAndText:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda k: k.key_down(4.5), "argument 'key': 'float' object is neither a key name (str) nor a key code (int)"),
            (lambda k: k.key_up(b"a"), "argument 'key': 'bytes' object is neither a key name (str) nor a key code (int)"),
            (lambda k: k.press_keys(5), "argument 'keys': 'int' object cannot be converted to 'str | Sequence[str | int]'"),
            (lambda k: k.press_keys(b"ctrl+a"),
             "argument 'keys': 'bytes' object cannot be converted to 'str | Sequence[str | int]'"),
            (lambda k: k.press_keys(["a", 2.0]), "argument 'keys': 'float' object is neither a key name (str) nor a key code (int)"),
            (lambda k: k.press_keys("a", "5"), "argument 'duration_ms': 'str' object cannot be interpreted as an integer"),
            (lambda k: k.type_text(None), "argument 'text': 'NoneType' object cannot be converted to 'PyString'"),
            (lambda k: k.type_text(["a"]), "argument 'text': 'list' object cannot be converted to 'PyString'"),
            (lambda k: k.type_text("a", interval_ms_max=1.5),
             "argument 'interval_ms_max': 'float' object cannot be interpreted as an integer"),
            (lambda k: k.type_text(), "Kestrin.type_text() missing 1 required positional argument: 'text'"),
            (lambda k: k.key_down(), "Kestrin.key_down() missing 1 required positional argument: 'key'"),
            (lambda k: k.press_keys("a", 1, 2, 3), "Kestrin.press_keys() takes from 1 to 3 positional arguments but 4 were given"),
            (lambda k: k.key_up(key=1, keys=2), "Kestrin.key_up() got an unexpected keyword argument 'keys'"),
        ],
    )
    def test_wrong_types_and_bindings_name_the_parameter(self, k, compositor, call, message):
        before = len(compositor.requests())
        with pytest.raises(TypeError) as caught:
            call(k)
        assert str(caught.value) == message
        assert len(compositor.requests()) == before

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda k: k.key_down("a\x00rm -rf"), r"key name 'a\x00rm -rf' contains a NUL character"),
            (lambda k: k.key_up("Return\x00junk"), r"key name 'Return\x00junk' contains a NUL character"),
            (lambda k: k.press_keys("a\x00rm -rf"), r"key name 'a\x00rm -rf' contains a NUL character"),
            (lambda k: k.press_keys("ctrl + a\x00b+t"), r"key name 'a\x00b' contains a NUL character"),
            (lambda k: k.press_keys(["ctrl", "\x00"]), r"key name '\x00' contains a NUL character"),
            (lambda k: k.button_down("left\x00"), r"button name 'left\x00' contains a NUL character"),
            (lambda k: k.move_to(1, 1, "HEADLESS-1\x00"), r"screen name 'HEADLESS-1\x00' contains a NUL character"),
            (lambda k: k.drag(1, 1, 2, 2, "\x00HEADLESS-1"), r"screen name '\x00HEADLESS-1' contains a NUL character"),
            (lambda k: k.capture("HEADLESS-1\x00x"), r"screen name 'HEADLESS-1\x00x' contains a NUL character"),
        ],
    )
    def test_names_with_a_nul_name_nothing_and_send_nothing(self, k, compositor, call, message):
        before = len(compositor.requests())
        with pytest.raises(ValueError) as caught:
            call(k)
        assert str(caught.value) == message
        assert len(compositor.requests()) == before

    def test_codes_are_unsigned_32_bit_like_the_other_numbers(self, k):
        with pytest.raises(OverflowError, match=OUT_OF_RANGE):
            k.key_down(-1)
        with pytest.raises(OverflowError, match=OUT_OF_RANGE):
            k.press_keys([2**32])
        assert k.key_down(Index(2**32 - 1)) is None
        assert k.key_up(2**32 - 1) is None

    def test_a_sequence_is_read_once_and_any_sequence_will_do(self, k, compositor):
        k.press_keys(range(30, 33))
        k.press_keys((Index(40),))
        keys = request_args(compositor, "zwp_virtual_keyboard_v1.key")
        assert [args[1:] for args in keys] == [[30, 1], [31, 1], [32, 1], [32, 0], [31, 0], [30, 0], [40, 1], [40, 0]]


class TestPointerArguments:
    @pytest.mark.parametrize("value", [-(2**31), 2**31 - 1])
    def test_signed_bounds_reach_the_limit_check(self, k, value):
        with pytest.raises(ValueError, match="wheel steps"):
            k.scroll(value)

    @pytest.mark.parametrize("value", [-(2**31) - 1, 2**31])
    def test_signed_out_of_range(self, k, value):
        with pytest.raises(OverflowError) as caught:
            k.scroll(0, value)
        assert str(caught.value) == OUT_OF_RANGE

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda k: k.scroll(1.5), "argument 'dy': 'float' object cannot be interpreted as an integer"),
            (lambda k: k.move_to("3", 4), "argument 'x': 'str' object cannot be interpreted as an integer"),
            (lambda k: k.button_down(b"left"),
             "argument 'button': 'bytes' object is neither a button name (str) nor a button code (int)"),
            (lambda k: k.drag(1, 2, 3, 4, steps="9"), "argument 'steps': 'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_wrong_types_name_the_parameter(self, k, call, message):
        with pytest.raises(TypeError) as caught:
            call(k)
        assert str(caught.value) == message

    def test_buttons_by_name_code_index_and_str_subclass(self, k, compositor):
        from wire_support import BUTTON, Watch

        watch = Watch(compositor)
        for button in ("middle", 274, Index(275), Text("side")):
            k.button_down(button)
            k.button_up(button)
        assert [args[1] for args in watch.args(BUTTON)] == [274, 274, 274, 274, 275, 275, 275, 275]
        with pytest.raises(ValueError, match="unknown button 'Left'"):
            k.button_down("Left")
