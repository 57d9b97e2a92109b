"""Property-based tests of argument handling: every method and the
constructor get drawn argument lists (any number of positional and keyword
arguments, of many types and values), and a model of the binding and
conversion rules predicts the exact outcome: the TypeError, OverflowError or
UnicodeEncodeError with its message, the passed-through exception of an
`__index__`, the RuntimeError of the core, or success. Arguments that
convert are really sent to the fake compositor, so hold times are drawn small
enough that no call sleeps more than a few milliseconds."""

from __future__ import annotations

import decimal
import fractions
import operator
import os
from dataclasses import dataclass
from typing import Any

import numpy
import pytest
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

from fake_compositor import FakeCompositor, pattern
from kestrin import Kestrin
from wire_support import name_of, output, scenario

WIDTH, HEIGHT = 64, 48
OUTPUT_NAME = "HEADLESS-1"
U32_MAX = 2**32 - 1
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "Python int too large to convert to C long"
# No drawn call may sleep longer than this many milliseconds.
LONGEST_HOLD = 3

# Fixed for CI: the same examples every run, no example database in the
# checkout, no timing limit per example (a capture takes a frame of work).
EXAMPLES = 200
CI = settings(
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=EXAMPLES,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


# --- Argument values ---------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Number(int):
    pass


class Text(str):
    pass


class RefusedByTypeError:
    def __index__(self):
        raise TypeError("refused") from ValueError("the root")

    def __repr__(self):
        return "RefusedByTypeError()"


class TypeErrorSubclass(TypeError):
    pass


class Raising:
    """An __index__ that raises one fixed exception object."""

    def __init__(self, error: BaseException):
        self.error = error

    def __index__(self):
        raise self.error

    def __repr__(self):
        return f"Raising({self.error!r})"


class NotAnInt:
    def __index__(self):
        return "seven"

    def __repr__(self):
        return "NotAnInt()"


def outside_u32() -> st.SearchStrategy[int]:
    return st.one_of(
        st.integers(max_value=-1),
        st.integers(min_value=U32_MAX + 1),
        st.sampled_from([-1, U32_MAX + 1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, 2**100, -(2**100)]),
    )


def number_values(valid: st.SearchStrategy[int]) -> st.SearchStrategy[Any]:
    """Values for an unsigned 32-bit parameter whose accepted integers come
    from `valid`: mostly accepted ones (so that whole argument lists often
    convert), in every form that converts."""
    accepted = st.one_of(
        valid,
        valid.map(Index),
        valid.map(Number),
        st.booleans(),
        valid.map(numpy.uint32),
    )
    integers = st.one_of(valid, outside_u32())
    refused = st.one_of(
        outside_u32(),
        integers.map(Index),
        integers.map(Number),
        st.integers(-(2**63), 2**63 - 1).map(numpy.int64),
        st.sampled_from([numpy.uint64(U32_MAX + 1), numpy.uint64(2**64 - 1)]),
        st.floats(),
        st.floats().map(numpy.float64),
        st.text(max_size=4),
        st.binary(max_size=4),
        st.none(),
        st.lists(st.integers(0, 3), max_size=2),
        st.complex_numbers(max_magnitude=10),
        st.fractions(max_denominator=4),
        st.sampled_from([decimal.Decimal("5"), fractions.Fraction(4, 2)]),
        st.sampled_from(
            [
                RefusedByTypeError(),
                Raising(TypeErrorSubclass("a subclass")),
                Raising(ValueError("not a type error")),
                Raising(OverflowError("from __index__")),
                Raising(KeyboardInterrupt()),
                NotAnInt(),
                object(),
            ]
        ),
    )
    return st.integers(0, 9).flatmap(lambda choice: accepted if choice < 8 else refused)


def any_u32() -> st.SearchStrategy[int]:
    return st.one_of(st.integers(0, U32_MAX), st.sampled_from([0, 1, 2**31, U32_MAX]))


def short_hold() -> st.SearchStrategy[int]:
    # Large holds are drawn too: they are accepted where a small maximum
    # makes the hold the maximum, and filtered out elsewhere.
    return st.one_of(st.integers(0, LONGEST_HOLD), st.integers(0, LONGEST_HOLD), st.sampled_from([1000, U32_MAX]))


def surrogate() -> st.SearchStrategy[str]:
    return st.integers(0xD800, 0xDFFF).map(chr)


def texts() -> st.SearchStrategy[str]:
    """Any text, lone surrogates and NULs included."""
    return st.one_of(
        st.text(st.characters() | surrogate() | st.just("\x00"), max_size=12),
        st.sampled_from([OUTPUT_NAME, OUTPUT_NAME + "\x00", "headless-1", "", "\ud800", OUTPUT_NAME[:-1]]),
    )


def text_values(own: st.SearchStrategy[str]) -> st.SearchStrategy[Any]:
    return st.one_of(
        own,
        own,
        own.map(Text),
        st.none(),
        st.integers(),
        st.binary(max_size=4),
        st.sampled_from([bytearray(b"x"), memoryview(b"y"), Text, ["a"], 1.5, object()]),
    )


# --- The model ---------------------------------------------------------------


@dataclass(frozen=True)
class Parameter:
    name: str
    kind: str  # "u32", "optional_u32" or "optional_text"
    values: st.SearchStrategy[Any]

    @property
    def required(self) -> bool:
        return self.kind == "u32"


@dataclass
class Outcome:
    """What a call must do: raise `error` (a type) with `message` (None: not
    compared), or succeed with the converted `values`."""

    error: type[BaseException] | None = None
    message: str | None = None
    identity: BaseException | None = None
    cause: BaseException | None = None
    values: dict[str, Any] | None = None


def bind(callable_name: str, parameters: list[Parameter], args: tuple, kwargs: dict) -> Outcome | dict:
    """Binding: surplus positionals first, then keywords in the order given,
    then what is missing. Returns the bound values or the failure."""
    count = len(parameters)
    required = sum(p.required for p in parameters)
    if len(args) > count:
        verb = "was" if len(args) == 1 else "were"
        given_ = len(args)
        return Outcome(
            TypeError, f"{callable_name} takes from {required} to {count} positional arguments but {given_} {verb} given"
        )
    bound = {p.name: a for p, a in zip(parameters, args)}
    names = [p.name for p in parameters]
    for key, value in kwargs.items():
        if key not in names:
            return Outcome(TypeError, f"{callable_name} got an unexpected keyword argument '{key}'")
        if key in bound:
            return Outcome(TypeError, f"{callable_name} got multiple values for argument '{key}'")
        bound[key] = value
    missing = [f"'{p.name}'" for p in parameters if p.required and p.name not in bound]
    if missing:
        if len(missing) == 1:
            listed = missing[0]
        elif len(missing) == 2:
            listed = " and ".join(missing)
        else:
            listed = ", ".join(missing[:-1]) + ", and " + missing[-1]
        plural = "" if len(missing) == 1 else "s"
        return Outcome(
            TypeError, f"{callable_name} missing {len(missing)} required positional argument{plural}: {listed}"
        )
    return bound


def convert_number(name: str, value: Any) -> Outcome | int:
    try:
        number = operator.index(value)
    except BaseException as error:
        if type(error) is TypeError:
            return Outcome(TypeError, f"argument '{name}': {error}", cause=error.__cause__)
        return Outcome(type(error), str(error), identity=error if isinstance(value, Raising) else None)
    if not -(2**63) <= number < 2**63:
        return Outcome(OverflowError, TOO_LARGE)
    if not 0 <= number <= U32_MAX:
        return Outcome(OverflowError, OUT_OF_RANGE)
    return number


def convert_text(name: str, value: Any) -> Outcome | str:
    if not isinstance(value, str):
        type_name = type(value).__qualname__
        return Outcome(TypeError, f"argument '{name}': '{type_name}' object cannot be converted to 'PyString'")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError as error:
        return Outcome(UnicodeEncodeError, str(error))
    return str(value)


def predict(callable_name: str, parameters: list[Parameter], args: tuple, kwargs: dict) -> Outcome:
    """Binding, then conversion in parameter order (the first failure wins)."""
    bound = bind(callable_name, parameters, args, kwargs)
    if isinstance(bound, Outcome):
        return bound
    values: dict[str, Any] = {}
    for parameter in parameters:
        value = bound.get(parameter.name)
        if value is None and not parameter.required:
            values[parameter.name] = None
            continue
        converter = convert_text if parameter.kind == "optional_text" else convert_number
        converted = converter(parameter.name, value)
        if isinstance(converted, Outcome):
            return converted
        values[parameter.name] = converted
    return Outcome(values=values)


def hold_of(duration: int, maximum: int | None) -> int:
    """The longest hold a call may draw."""
    return duration if maximum is None else maximum


@st.composite
def argument_lists(draw, parameters: list[Parameter]) -> tuple[tuple, dict]:
    """Mostly well-bound argument lists, sometimes with surplus positionals,
    repeated, unknown or missing keywords, keywords in any order."""
    names = [p.name for p in parameters]
    values = [draw(p.values) for p in parameters]
    surplus = draw(st.integers(0, 9)) == 0
    positional = len(parameters) + 1 if surplus else draw(st.integers(0, len(parameters)))
    args = list(values[:positional])
    if positional > len(parameters):
        args += draw(st.lists(parameters[0].values, min_size=1, max_size=2))
    keywords = []
    for index, parameter in enumerate(parameters):
        if index >= positional:
            # Required parameters are mostly given, optional ones half the time.
            left_out = draw(st.integers(0, 9)) == 0 if parameter.required else draw(st.booleans())
            if not left_out:
                keywords.append((parameter.name, values[index]))
        elif draw(st.integers(0, 19)) == 0:
            keywords.append((parameter.name, draw(parameter.values)))
    if draw(st.integers(0, 9)) == 0:
        near_misses = [n + "\x00" for n in names] + [n.upper() for n in names]
        unknown = draw(st.one_of(st.text(st.characters() | surrogate(), max_size=8), st.sampled_from(near_misses)))
        keywords.append((unknown, draw(parameters[-1].values)))
    ordered = draw(st.permutations(keywords))
    return tuple(args), dict(ordered)


def check_raised(caught: BaseException, expected: Outcome) -> None:
    assert type(caught) is expected.error, (caught, expected)
    if expected.message is not None:
        assert str(caught) == expected.message
    if expected.identity is not None:
        assert caught is expected.identity
    if expected.error is TypeError and expected.message and expected.message.startswith("argument '"):
        # A renamed TypeError keeps the cause of the original one.
        if expected.cause is None:
            assert caught.__cause__ is None
        else:
            assert type(caught.__cause__) is type(expected.cause)
            assert str(caught.__cause__) == str(expected.cause)


def run(call, expected: Outcome):
    """Makes the call and checks it against the prediction; returns the
    result of a call that was to succeed."""
    event("raises " + expected.error.__name__ if expected.error else "returns")
    try:
        result = call()
    except BaseException as caught:
        if expected.values is not None:
            raise AssertionError(f"expected success, got {caught!r}") from caught
        check_raised(caught, expected)
        return None
    assert expected.values is not None, f"expected {expected.error.__name__}: {expected.message}, got {result!r}"
    return result


# --- Fixtures ----------------------------------------------------------------


@pytest.fixture(scope="module")
def compositor(tmp_path_factory):
    fake = FakeCompositor(scenario(outputs=[output(OUTPUT_NAME, WIDTH, HEIGHT)]), tmp_path_factory.mktemp("properties"))
    yield fake
    fake.stop()


@pytest.fixture(scope="module")
def session(compositor):
    return Kestrin(compositor.socket_path)


# --- Methods -----------------------------------------------------------------

MOVE_MOUSE = [
    Parameter("x_extent", "u32", number_values(any_u32())),
    Parameter("y_extent", "u32", number_values(any_u32())),
    Parameter("x", "u32", number_values(any_u32())),
    Parameter("y", "u32", number_values(any_u32())),
    Parameter("x_max", "optional_u32", number_values(any_u32())),
    Parameter("y_max", "optional_u32", number_values(any_u32())),
]
CLICK = [
    Parameter("duration_ms", "u32", number_values(short_hold())),
    Parameter("duration_ms_max", "optional_u32", number_values(short_hold())),
]
KEY_PRESS = [
    Parameter("key", "u32", number_values(any_u32())),
    Parameter("duration_ms", "u32", number_values(short_hold())),
    Parameter("duration_ms_max", "optional_u32", number_values(short_hold())),
]
SCREENSHOT = [Parameter("screen_name", "optional_text", text_values(texts()))]


class TestMethods:
    @CI
    @given(call=argument_lists(MOVE_MOUSE))
    def test_move_mouse(self, session, call):
        args, kwargs = call
        expected = predict("Kestrin.move_mouse()", MOVE_MOUSE, args, kwargs)
        assert run(lambda: session.move_mouse(*args, **kwargs), expected) is None

    @CI
    @pytest.mark.parametrize("method", ["left_click", "right_click"])
    @given(call=argument_lists(CLICK))
    def test_clicks(self, session, method, call):
        args, kwargs = call
        expected = predict(f"Kestrin.{method}()", CLICK, args, kwargs)
        if expected.values is not None:
            assume(hold_of(expected.values["duration_ms"], expected.values["duration_ms_max"]) <= LONGEST_HOLD)
        assert run(lambda: getattr(session, method)(*args, **kwargs), expected) is None

    @CI
    @given(call=argument_lists(KEY_PRESS))
    def test_key_press(self, session, call):
        args, kwargs = call
        expected = predict("Kestrin.key_press()", KEY_PRESS, args, kwargs)
        if expected.values is not None:
            assume(hold_of(expected.values["duration_ms"], expected.values["duration_ms_max"]) <= LONGEST_HOLD)
        assert run(lambda: session.key_press(*args, **kwargs), expected) is None

    @CI
    @given(call=argument_lists(SCREENSHOT))
    def test_screenshot(self, session, call):
        args, kwargs = call
        expected = predict("Kestrin.screenshot()", SCREENSHOT, args, kwargs)
        if expected.values is not None and expected.values["screen_name"] not in (None, OUTPUT_NAME):
            # The name converts but names no output: the core's error.
            expected = Outcome(RuntimeError, "no WLOutput with name " + expected.values["screen_name"])
        picture = run(lambda: session.screenshot(*args, **kwargs), expected)
        if expected.values is not None:
            assert isinstance(picture, numpy.ndarray)
            assert numpy.array_equal(picture, pattern(WIDTH, HEIGHT))

    @settings(CI, max_examples=25)
    @given(receiver=st.one_of(st.integers(), st.text(max_size=3), st.none(), st.sampled_from([Kestrin, object()])))
    def test_foreign_receiver(self, session, receiver):
        for name in ("move_mouse", "left_click", "right_click", "key_press", "screenshot"):
            with pytest.raises(TypeError) as caught:
                getattr(Kestrin, name)(receiver, 0, 0, 0, 0)
            message = str(caught.value)
            assert message.startswith(f"descriptor '{name}' for '") and message.endswith(
                f"Kestrin' objects doesn't apply to a '{type(receiver).__name__}' object"
            ), message

    def test_session_survived_every_example(self, session, compositor):
        # Runs after the properties: none of them broke the connection, and
        # every press that reached the compositor, these last ones included,
        # was released before the next.
        assert session.left_click(0) is None
        assert session.key_press(30, 0) is None
        assert numpy.array_equal(session.screenshot(), pattern(WIDTH, HEIGHT))
        requests = compositor.requests()
        for name in ("zwlr_virtual_pointer_v1.button", "zwp_virtual_keyboard_v1.key"):
            states = [r["args"][2] for r in requests if name_of(r) == name]
            assert states[-2:] == [1, 0] and states == [1, 0] * (len(states) // 2), name


# --- The constructor -----------------------------------------------------------


def display_names(compositor) -> st.SearchStrategy[Any]:
    directory, name = os.path.split(compositor.socket_path)
    return text_values(
        st.one_of(
            texts(),
            st.sampled_from(
                [compositor.socket_path, name, directory, "/", "/" + "x" * 120, name + "\x00", "wayland-0"]
            ),
            st.text(st.characters(), max_size=8).map(lambda tail: "/" + tail),
        )
    )


def connect_outcome(text: str, directory: str | None, socket_path: str) -> Outcome:
    """What connecting to `text` does when XDG_RUNTIME_DIR is `directory`."""
    if text.startswith("/"):
        path = text
    elif directory is None:
        return Outcome(RuntimeError, "no XDG_RUNTIME_DIR set\n\nCaused by:\n    environment variable not found")
    else:
        path = directory + "/" + text
    if path == socket_path:
        return Outcome(values={"path": path})
    # The rest of the message depends on the system's answer.
    return Outcome(RuntimeError, None, values=None)


class TestConstructor:
    @CI
    @given(data=st.data(), runtime_dir_set=st.booleans())
    def test_construction(self, compositor, data, runtime_dir_set):
        parameters = [Parameter("wayland_display", "optional_text", display_names(compositor))]
        args, kwargs = data.draw(argument_lists(parameters))
        directory = os.path.dirname(compositor.socket_path) if runtime_dir_set else None
        expected = predict("Kestrin.__new__()", parameters, args, kwargs)
        if expected.values is not None:
            text = expected.values["wayland_display"]
            if text is None:
                # Without an argument the environment names the compositor.
                text = compositor.socket_path
            expected = connect_outcome(text, directory, compositor.socket_path)
        with pytest.MonkeyPatch.context() as patch:
            patch.setenv("WAYLAND_DISPLAY", compositor.socket_path)
            if directory is None:
                patch.delenv("XDG_RUNTIME_DIR", raising=False)
            else:
                patch.setenv("XDG_RUNTIME_DIR", directory)
            event("raises " + expected.error.__name__ if expected.error else "returns")
            try:
                made = Kestrin(*args, **kwargs)
            except BaseException as caught:
                if expected.values is not None:
                    raise AssertionError(f"expected a connection, got {caught!r}") from caught
                check_raised(caught, expected)
                if expected.error is RuntimeError and expected.message is None:
                    assert str(caught).startswith('failed to connect to unix stream "'), str(caught)
                    assert "\n\nCaused by:\n    " in str(caught)
                return
        assert expected.values is not None, f"expected {expected.error.__name__}: {expected.message}"
        assert type(made) is Kestrin
        assert made.left_click(0) is None
