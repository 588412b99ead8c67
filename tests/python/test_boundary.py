"""Argument binding, conversion, results and exceptions at the Python boundary."""

import array
import collections.abc
import inspect
import itertools
import math
import re
import subprocess
import sys
import types

import caustiqa
import numpy as np
import pytest

from conftest import FUNCTIONS


def outcome(call, *args, **kwargs):
    """A call's value (its repr, so bit for bit) or its error, to compare two calls."""
    try:
        return "value", repr(call(*args, **kwargs))
    except Exception as error:
        return type(error), error.args


def raised(call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


def binding_error(call, *args, **kwargs):
    error = raised(call, *args, **kwargs)
    assert type(error) is TypeError and not hasattr(error, "__notes__")
    # Python 3.13 suggests a close parameter name; the module's message has no suggestion.
    return re.sub(r"\. Did you mean '[^']*'\?$", "", str(error))


def interpreter_error(value):
    """What the interpreter's own float conversion raises for value."""
    error = raised(math.copysign, value, 1.0)
    return type(error), error.args


def conversion_error(fn, param, value):
    error = raised(fn.call_with, **{param: value})
    assert error.__notes__ == [f"while processing '{param}'"]
    return error


# --- binding -----------------------------------------------------------------

KEYWORDS = ["x", "L", "l\x00", "rstär", "\ud800", "r" + "e" * 40]


def binding_cases(fn):
    """Calls that bind wrongly in every way: too many, repeated, missing, unknown."""
    args = fn.args()
    yield args + [1.0], {}
    yield args + [1.0, 2.0], {}
    for index, name in enumerate(fn.names):
        yield args[: index + 1], {name: args[index]}
    for count in range(len(args)):
        yield args[:count], {}
        for chosen in itertools.combinations(range(len(args)), count):
            yield [], {fn.names[i]: args[i] for i in chosen}
    for name in KEYWORDS:  # reported before any missing argument
        yield [], {name: 1.0}
        yield args[:1], {name: 1.0}


def test_binding_messages_match_python(fn):
    for args, kwargs in binding_cases(fn):
        expected = binding_error(fn.reference, *args, **kwargs)
        assert binding_error(fn, *args, **kwargs) == expected, (args, kwargs)


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, 2, 3, 4, 5), {}, "takes 4 positional arguments but 5 were given"),
    # Positional arguments are counted before keywords (unlike for a Python function).
    ((1, 2, 3, 4, 5), {"x": 1}, "takes 4 positional arguments but 5 were given"),
    ((1, 2, 3), {}, "missing 1 required positional argument: 'rstar'"),
    ((1, 2), {}, "missing 2 required positional arguments: 're' and 'rstar'"),
    ((), {"r": 1}, "missing 3 required positional arguments: 'l', 're', and 'rstar'"),
    ((1, 2), {"r": 1}, "got multiple values for argument 'r'"),
    ((), {"\ud800": 1}, "got an unexpected keyword argument '\ud800'"),
    ((), {"rstär": 1}, "got an unexpected keyword argument 'rstär'"),
])
def test_binding_messages(args, kwargs, message):
    name = "heyrovsky_magnification"
    assert binding_error(getattr(caustiqa, name), *args, **kwargs) == f"{name}() {message}"


class Text(str):
    pass


def test_keywords_equal_positional(fn):
    expected = outcome(fn, *fn.args())
    args = dict(zip(fn.names, fn.args()))
    fresh = {"".join(list(n)): v for n, v in args.items()}  # names that are not interned
    assert all(k is not sys.intern(k) for k in fresh if len(k) > 1)
    for kwargs in (args, dict(reversed(args.items())), fresh, {Text(n): v for n, v in args.items()}):
        assert outcome(fn, **kwargs) == expected
    for count in range(1, len(fn.names)):
        assert outcome(fn, *fn.args()[:count], **dict(list(args.items())[count:][::-1])) == expected


def test_result_shape(fn):
    value = fn.call_with()
    if fn.result == "float":
        assert type(value) is float
        return
    rows = value if fn.result == "lists" else [value]
    assert type(value) is list
    assert len(rows) == (len(fn.valid["re"]) * len(fn.valid["rstar"]) if fn.result == "lists" else 1)
    assert all(type(row) is list and list(map(type, row)) == [float] * len(fn.valid["l"])
               for row in rows)
    assert fn.call_with(l=[]) == ([] if fn.result == "list" else [[]] * len(rows))


# --- conversions ---------------------------------------------------------------

class Holder:
    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class AsFloat(Holder):
    def __float__(self):
        if isinstance(self.value, BaseException):
            self.raised = type(self.value)(*self.value.args)  # a fresh one every time
            raise self.raised
        return self.value


class AsIndex(Holder):
    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [
    3, -1, True, False, 2**70, AsFloat(0.75), AsFloat(-1.0), AsIndex(2), AsIndex(-1),
    np.float64(0.75), np.float32(0.1), np.int64(-1), np.bool_(True)], ids=repr)
def test_float_accepts(fn, float_param, value):
    assert outcome(fn.call_with, **{float_param: value}) == \
        outcome(fn.call_with, **{float_param: float(value)})


@pytest.mark.parametrize("value", [
    "1", None, [1.0], 1j, AsFloat("x"), AsFloat(1), AsFloat(ZeroDivisionError("raised"))], ids=repr)
def test_float_rejects(fn, param, value):
    # A float argument or an item of a sequence fails as the interpreter's conversion does.
    error = conversion_error(fn, param, value if fn.kinds[param] == "float" else [1.0, value])
    if hasattr(value, "raised"):
        assert error is value.raised
    assert (type(error), error.args) == interpreter_error(value)


class Indexed:
    """__len__ and __getitem__ only, iterated by index; len() may lie or raise."""
    def __init__(self, items, length=None):
        self.items, self.length = list(items), length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        if isinstance(item := self.items[index], BaseException):
            raise item
        return item


class Items(Indexed, collections.abc.Sequence):
    pass


class Outer:
    class Inner:
        def __float__(self):
            return 1.0


SEQUENCES = {
    "tuple": tuple, "numpy": np.array, "float32": lambda v: np.array(v, np.float32),
    "array.array": lambda v: array.array("d", v), "Sequence": Items, "getitem": Indexed,
    "len 10": lambda v: Indexed(v, 10), "len 2**40": lambda v: Indexed(v, 2**40),
    "len raises": lambda v: Indexed(v, OSError("len")), "items with __float__": lambda v: [*map(AsFloat, v)],
    "range": lambda v: range(1, len(v) + 1), "bytes": lambda v: bytes(range(1, len(v) + 1)),
    "int and bool": lambda v: [True, *range(2, len(v) + 1)],
}


@pytest.mark.parametrize("make", SEQUENCES.values(), ids=SEQUENCES.keys())
def test_sequence_accepts(fn, seq_param, make):
    value = make(fn.valid[seq_param])
    assert outcome(fn.call_with, **{seq_param: value}) == \
        outcome(fn.call_with, **{seq_param: [float(x) for x in value]})


class Iterated:
    """A sequence that only iterates `source`: the reference for objects whose
    buffer of doubles is read directly."""

    def __init__(self, source):
        self.source = source

    def __len__(self):
        return len(self.source)

    def __getitem__(self, index):
        raise AssertionError("iterated, not indexed")

    def __iter__(self):
        return iter(self.source)


VALUES = [0.0, -0.0, 0.5, 1.0, 1e-310, 3.0, float("inf"), -2.5, float("nan"), 7.25]
BUFFERS = {
    "float64": lambda: np.array(VALUES), "float32": lambda: np.array(VALUES, np.float32),
    "int64": lambda: np.arange(10), "object": lambda: np.array(VALUES, dtype=object),
    "strided": lambda: np.array(VALUES)[::2], "reversed": lambda: np.array(VALUES)[::-1],
    "0-d": lambda: np.array(0.5), "2-d": lambda: np.array(VALUES).reshape(2, 5),
    "2-d single column": lambda: np.array(VALUES).reshape(10, 1),
    "big-endian": lambda: np.array(VALUES, ">f8"), "little-endian": lambda: np.array(VALUES, "<f8"),
    "empty": lambda: np.array([]), "ndarray subclass": lambda: np.array(VALUES).view(np.matrix),
    "array d": lambda: array.array("d", VALUES), "array f": lambda: array.array("f", VALUES),
    "memoryview d": lambda: memoryview(array.array("d", VALUES)),
    "memoryview 2-d": lambda: memoryview(array.array("d", VALUES)).cast("B").cast("d", (2, 5)),
    "memoryview <d": lambda: memoryview(np.array(VALUES, "<f8")),
    "bytes": lambda: bytes(range(10)),
}


@pytest.mark.parametrize("make", BUFFERS.values(), ids=BUFFERS.keys())
def test_buffers_convert_as_their_iteration(make):
    # Arrays of native doubles are copied without iterating; every other
    # array keeps the values and errors of iteration.
    for f in FUNCTIONS:
        if f.kinds["l"] == "sequence":
            assert outcome(f.call_with, l=make()) == outcome(f.call_with, l=Iterated(make())), f


def impostors():
    """Objects whose type is named like an array type the module copies as a
    block, and whose buffer holds [0.5, 1.5] while they iterate as [1.0, 3.0]."""
    iterated = lambda self: iter([1.0, 3.0])
    made = {
        "array.array": array.array("d", [0.5, 1.5]),
        "numpy.ndarray": np.array([0.5, 1.5]),
    }
    for name, real in made.items():
        renamed = type("Impostor", (type(real),), {"__iter__": iterated})
        renamed.__name__ = name
        yield f"{name} subclass", (renamed("d", real) if name == "array.array" else
                                   real.view(renamed)), [1.0, 3.0]
        if sys.version_info >= (3, 12):  # a pure-Python buffer
            plain = type("Impostor", (), {"__buffer__": lambda self, flags: memoryview(real),
                                          "__len__": lambda self: 2, "__iter__": iterated,
                                          "__getitem__": lambda self, i: [1.0, 3.0][i]})
            plain.__name__ = name
            yield f"{name} by __buffer__", plain(), [1.0, 3.0]


IMPOSTORS = list(impostors())


@pytest.mark.parametrize("value, iterated", [i[1:] for i in IMPOSTORS],
                         ids=[i[0] for i in IMPOSTORS])
def test_impostors_are_iterated(value, iterated):
    # The block copy is for the array types themselves, known by identity, not by name.
    for f in FUNCTIONS:
        if f.kinds["l"] == "sequence":
            assert outcome(f.call_with, l=value) == outcome(f.call_with, l=iterated), f


def test_array_types_patched_after_first_use_stay_unpatched(monkeypatch):
    # The types found on first use are kept: an impostor put in their place
    # later is iterated like any sequence.
    for name, real in (("numpy", np.array([0.5, 1.5])), ("array", array.array("d", [0.5, 1.5]))):
        FUNCTIONS[0].call_with(l=real)
        impostor = type("Impostor", (type(real),), {"__iter__": lambda self: iter([1.0, 3.0])})
        monkeypatch.setattr(sys.modules[name], "ndarray" if name == "numpy" else "array", impostor)
        value = real.view(impostor) if name == "numpy" else impostor("d", real)
        assert FUNCTIONS[0].call_with(l=value) == FUNCTIONS[0].call_with(l=[1.0, 3.0])


def test_impostor_errors_propagate():
    # A ctypes array of doubles named like NumPy's array: its len() interrupts.
    import ctypes

    class Doubles(ctypes.c_double * 2):
        def __len__(self):
            raise KeyboardInterrupt

        def __iter__(self):
            raise ValueError("iterated")

    Doubles.__name__ = "numpy.ndarray"
    error = conversion_error(FUNCTIONS[0], "l", Doubles(0.5, 1.5))
    assert type(error) is KeyboardInterrupt


PATCHED_SEQUENCE = """
import collections.abc, caustiqa
if {after}:
    try: caustiqa.witt_mao_magnification(None, 1.0, 0.1)
    except TypeError: pass
collections.abc.Sequence = {patch}
for value in (None, 1.0):
    try:
        caustiqa.witt_mao_magnification(value, 1.0, 0.1)
    except TypeError as error:
        print(error)
"""


@pytest.mark.parametrize("after", [False, True], ids=["before first use", "after first use"])
@pytest.mark.parametrize("patch", ["42", "None"])
def test_patched_sequence_type(patch, after):
    # The message names the standard Sequence whatever replaced it.
    result = subprocess.run([sys.executable, "-c", PATCHED_SEQUENCE.format(patch=patch, after=after)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["'None' is not an instance of 'Sequence'",
                                          "'float' object is not an instance of 'Sequence'"]


@pytest.mark.parametrize("value, message", [
    ("123", "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    (Text("1"), "Can't extract `str` to `Vec`"),
    ({1.0}, "'set' object is not an instance of 'Sequence'"),
    ({1.0: 2.0}, "'dict' object is not an instance of 'Sequence'"),
    ((x for x in [1.0]), "'generator' object is not an instance of 'Sequence'"),
    (1.0, "'float' object is not an instance of 'Sequence'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'Sequence'"),
    (None, "'None' is not an instance of 'Sequence'"),
], ids=repr)
def test_sequence_rejects(fn, seq_param, value, message):
    error = conversion_error(fn, seq_param, value)
    assert (type(error), error.args) == (TypeError, (message,))


def test_iteration_error_propagates(fn, seq_param):
    midway = KeyError("midway")
    assert conversion_error(fn, seq_param, Indexed([1.0, midway, 2.0])) is midway


class Recorder(Indexed):
    """Converts as its value does and remembers whether it was looked at."""
    touched = False

    def __init__(self, value):
        super().__init__(value if isinstance(value, list) else [])
        self.value = value

    def __float__(self):
        self.touched = True
        return float(self.value)

    def __iter__(self):
        self.touched = True
        return iter(self.items)


def test_conversion_stops_at_first_failure(fn, param):
    index = fn.names.index(param)
    args = [Recorder(v) for v in fn.args()]
    args[index] = "x"
    error = raised(fn, *args)
    assert error.__notes__ == [f"while processing '{param}'"]
    assert error.args == (("Can't extract `str` to `Vec`",) if fn.kinds[param] == "sequence"
                          else interpreter_error("x")[1])
    touched = [a.touched for i, a in enumerate(args) if i != index]
    assert touched == [True] * index + [False] * (len(args) - index - 1)


# --- module surface ----------------------------------------------------------

def test_module_surface(function_table):
    assert caustiqa.__all__ == [f.name for f in function_table if hasattr(caustiqa, f.name)]
    assert {n for n, v in vars(caustiqa).items() if callable(v)} == set(caustiqa.__all__)
    assert isinstance(caustiqa.__doc__, str) and caustiqa.__doc__.strip()
    assert "\n" not in caustiqa.__doc__.strip()


def test_function_surface(fn):
    function = getattr(caustiqa, fn.name)
    assert type(function) is types.BuiltinFunctionType
    assert (function.__name__, function.__qualname__, function.__module__) == \
        (fn.name, fn.name, "caustiqa")
    assert (function.__text_signature__, function.__doc__) == (fn.signature, None)
    assert [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()] == \
        [(n, inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty) for n in fn.names]


# --- exceptions --------------------------------------------------------------

def test_error_value(error_fn):
    error = raised(error_fn.call_with, **error_fn.error)
    assert type(error) is RuntimeError and not hasattr(error, "__notes__")
    assert error.args == ("ellipk: Arguments cannot be NAN.",) and type(error.args[0]) is str


PANIC_MESSAGE = "assertion `left == right` failed\n  left: 3\n right: 2"
panic_types = set()


def test_panic(panic_fn, capfd):
    for _ in range(2):
        try:
            panic_fn.call_with(**panic_fn.panic)
        except Exception:
            pytest.fail("`except Exception` caught the fatal failure")
        except BaseException as error:
            panic_types.add(type(error))
            assert error.args == (PANIC_MESSAGE,) and not hasattr(error, "__notes__")
    assert len(panic_types) == 1  # one type for every call and every function
    panic = next(iter(panic_types))
    assert panic.__mro__ == (panic, BaseException, object)
    assert (panic.__module__, panic.__qualname__) == ("tessel_runtime", "PanicException")
    assert isinstance(panic.__doc__, str) and panic.__doc__
    assert capfd.readouterr().err.count(PANIC_MESSAGE) == 2  # reported when it happens
    assert outcome(panic_fn.call_with) == outcome(panic_fn.call_with)  # still usable


FRESH_PROCESS = """
import gc, importlib.util, os
def state(): return len(os.listdir("/proc/self/task")), [
    t for t in gc.get_objects() if isinstance(t, type) and t.__name__ == "PanicException"]
before = state()
import caustiqa
assert state() == before, "import created threads or the exception type"
seen = []
for _ in range(2):
    try:
        caustiqa.discrete_flux_map_heyrovsky_magnification([], 1.0, 1.0, [1.0, 2.0, 3.0], [1.0, 2.0])
    except BaseException as error:
        seen.append(type(error))
assert len(seen) == 2 and seen[0] is seen[1] and state()[1] == [seen[0]], seen
found = importlib.util.find_spec("caustiqa")  # a second module object is filled afresh
again = importlib.util.module_from_spec(found)
found.loader.exec_module(again)
assert again.__all__ == caustiqa.__all__ and again.__all__ is not caustiqa.__all__
assert all(getattr(again, n) is not getattr(caustiqa, n) for n in caustiqa.__all__)
print("ok")
"""


def test_fresh_process():
    result = subprocess.run([sys.executable, "-c", FRESH_PROCESS], capture_output=True, text=True,
                            timeout=60)
    assert (result.returncode, result.stdout) == (0, "ok\n"), result.stderr
    assert result.stderr.count(PANIC_MESSAGE) == 2
