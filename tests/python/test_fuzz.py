"""Property-based fuzzing of argument binding and conversion for all eight functions.

Every example is an arbitrary call: positional and keyword arguments in any mix
(too many, too few, repeated, unknown names), each argument an odd object
(special floats, huge ints, objects whose __float__/__index__/__len__/__iter__
misbehave, buffers, numpy arrays, lists changed while they are read). The call
must behave exactly like a model of the boundary built from the module's fixed
binding messages and the interpreter's own float conversion and sequence check:
the same binding message, the same conversion exception with the same note, or
the same outcome as a call with the converted plain floats, which in turn must
have the documented shape or raise one of the documented exceptions.
"""

import array
import contextlib
import ctypes
import faulthandler
import os
import warnings

import numpy as np
from hypothesis import HealthCheck, given, settings, strategies as st

CAP = 5  # items per sequence: the integrated functions cost ~0.1 ms per separation
# Per function, divided by its number of parameters (drawing them is what takes the time).
EXAMPLES = int(os.environ.get("CAUSTIQA_FUZZ_EXAMPLES", 1200))

as_double = ctypes.pythonapi.PyFloat_AsDouble
as_double.restype, as_double.argtypes = ctypes.c_double, [ctypes.py_object]
is_sequence = ctypes.pythonapi.PySequence_Check
is_sequence.restype, is_sequence.argtypes = ctypes.c_int, [ctypes.py_object]

# --- argument objects, rebuilt from a description for every call ----------------

RAISED = []  # the exceptions the argument objects raised, in order


class Stop(BaseException):
    """Not an Exception: must pass through unchanged like any other."""


class Unnoted(ValueError):
    def add_note(self, note):  # the note is then dropped, the exception still raised
        raise MemoryError("no note")


ERRORS = {"ValueError": ValueError, "Stop": Stop, "Unnoted": Unnoted, "OverflowError": OverflowError}


def fail(kind):
    RAISED.append(error := ERRORS[kind](f"{kind} from an argument"))
    raise error


class Real(float):
    def __float__(self):  # never called: a float subclass is read directly
        fail("ValueError")


class Returns:
    """__float__ or __index__ returning what the description says."""
    def __init__(self, returns):
        self.returns = returns

    def result(self):
        return fail(self.returns[1]) if self.returns[0] == "raise" else make(self.returns)


class HasFloat(Returns):
    __float__ = Returns.result


class HasIndex(Returns):
    __index__ = Returns.result


class Indexed:
    """A sequence by __len__ and __getitem__; len() may lie, fail or return a non-int (None),
    an item may raise."""
    def __init__(self, items, length, failing_at):
        self.items, self.length, self.failing_at = items, length, failing_at

    def __len__(self):
        return fail(self.length) if isinstance(self.length, str) else self.length

    def __getitem__(self, index):
        if index == self.failing_at:
            fail("ValueError")
        return self.items[index]


class Iterated(Indexed):
    def __iter__(self):
        for index in range(len(self.items)):
            yield self[index]


class LyingList(list):
    """An exact list's subclass: its own __len__ and __iter__ decide, not its contents."""
    def __len__(self):
        return 10

    def __iter__(self):
        return iter(self[::-1])


class Mutator:
    """Changes the list that holds it the first time it is converted."""
    target = None

    def __init__(self, value, action, extra):
        self.value, self.action, self.extra = value, action, extra

    def __float__(self):
        if (target := self.target) is not None:
            self.target = None
            MUTATIONS[self.action](target, make(self.extra))
        return self.value


def _pop(target, extra):
    if target:
        target.pop(0)


def _replace(target, extra):
    target[:] = [extra, extra]


MUTATIONS = {"append": list.append, "clear": lambda t, x: t.clear(), "pop": _pop,
             "insert": lambda t, x: t.insert(0, x), "extend": lambda t, x: t.extend([x] * 3),
             "replace": _replace}


def mutating(items, position, action, extra):
    mutator = Mutator(0.5, action, extra)
    target = [make(i) for i in items]
    target.insert(min(position, len(target)), mutator)
    mutator.target = target
    return target


def ndarray(dtype, shape, values):
    if dtype == "object":
        data = np.empty(len(values), object)
        data[:] = [make(v) for v in values]
    else:
        data = np.array(values, dtype)
    return data if shape == "flat" else data[:1].reshape(()) if shape == () else data.reshape(shape)


MAKERS = {
    "float": lambda x: x, "int": lambda n: n, "bool": lambda b: b, "none": lambda: None,
    "real": Real, "__float__": HasFloat, "__index__": HasIndex, "complex": complex,
    "np": lambda t, x: getattr(np, t)(x), "str": str, "bytes": bytes, "bytearray": bytearray,
    "memoryview": lambda values, shape: memoryview(array.array("d", values)).cast("B").cast("d", shape),
    "array": lambda code, values: array.array(code, values), "range": range,
    "list": lambda items: [make(i) for i in items], "tuple": lambda items: tuple(make(i) for i in items),
    "set": lambda items: {make(i) for i in items if i[0] == "float"},
    "dict": lambda items: {i: make(v) for i, v in enumerate(items)},
    "generator": lambda items: (make(i) for i in items),
    "indexed": lambda items, length, at: Indexed([make(i) for i in items], length, at),
    "iterated": lambda items, length, at: Iterated([make(i) for i in items], length, at),
    "lying list": lambda items: LyingList(make(i) for i in items),
    "mutating": mutating, "ndarray": ndarray,
}


def make(description):
    return MAKERS[description[0]](*description[1:])


# --- descriptions -----------------------------------------------------------------

SPECIAL = [float("nan"), float("inf"), -float("inf"), 0.0, -0.0, 5e-324, -5e-324,
           2.2250738585072014e-308, 1.7976931348623157e308, -1.0, 1.0, 1e-300, 1e300]
HUGE = [2**1024, -(2**1024), 2**1024 - 2**970, 2**1024 - 2**971, 10**400, -(2**53 + 1)]
plain = st.floats(0.0, 4.0) | st.sampled_from(SPECIAL) | st.floats()
floats = st.tuples(st.just("float"), plain)
errors = st.tuples(st.just("raise"), st.sampled_from(list(ERRORS)))


def described(kind, *payload):
    return st.tuples(st.just(kind), *payload)


scalars = st.one_of(
    floats, floats, floats,  # mostly plain floats
    described("int", st.integers(-10, 10) | st.sampled_from(HUGE) | st.integers()),
    described("bool", st.booleans()), described("real", plain),
    described("__float__", floats | described("int", st.integers(-3, 3)) | described("real", plain) | errors),
    described("__index__", described("int", st.integers(-3, 3) | st.sampled_from(HUGE)) | floats | errors),
    described("np", st.sampled_from(["float64", "float32", "int64", "complex128", "bool_"]),
              st.integers(-1000, 1000)),
    described("complex", plain), described("none"), described("str", st.sampled_from(["1.5", "x"])),
)
items = st.lists(scalars, max_size=CAP)
float_items = st.lists(floats, max_size=CAP)
shapes = st.sampled_from(["flat", (), (1, -1), (-1, 1)])
sequences = st.one_of(
    described("list", float_items), described("list", items), described("list", items),
    described("tuple", items), described("lying list", items),
    described("mutating", float_items, st.integers(0, CAP), st.sampled_from(list(MUTATIONS)),
              floats | described("str", st.just("x")) | described("__float__", errors)),
    described("indexed", items,
              st.sampled_from([None, 0, 2, 10, 1000, 2**40, -1, 2**70, "ValueError", "Stop"]),
              st.sampled_from([None, 0, 1, 3])),
    described("iterated", items, st.sampled_from([0, 3, 10, "ValueError"]), st.sampled_from([None, 0, 2])),
    described("ndarray", st.sampled_from(["float64", "float32", "int64", "complex128"]), shapes,
              st.lists(st.integers(-5, 5), min_size=1, max_size=4)),
    described("ndarray", st.just("object"), shapes, st.lists(scalars, min_size=1, max_size=4)),
    described("str", st.text(max_size=3)), described("bytes", st.binary(max_size=CAP)),
    described("bytearray", st.binary(max_size=CAP)),
    described("range", st.integers(-3, 3), st.integers(-3, 6)),
    described("memoryview", st.just([1.0, 2.0, 3.0, 4.0]), st.sampled_from([[4], [2, 2]])),
    described("array", st.sampled_from("dfqB"), st.lists(st.integers(0, 100), max_size=CAP)),
    described("set", items), described("dict", items), described("generator", float_items),
)
anything = scalars | sequences
class Shown(str):
    """A keyword name printed differently from its value; str() of it may fail."""
    def __str__(self):
        return fail("ValueError") if self == "z" else "shown"


KEYWORDS = ["x", "L", "l\x00", "rstär", "\ud800", "bf ", Shown("re"), Shown("y"), Shown("z")]


@st.composite
def arguments(draw, fn):
    """Values for all parameters, plain or odd, and a binding of them that may fail."""
    mode = draw(st.sampled_from(["plain", "one odd", "one odd", "one odd", "all odd", "binding"]))
    odd = draw(st.sampled_from(fn.names)) if mode == "one odd" else None
    values = {}
    for name, kind in fn.kinds.items():
        if mode in ("all odd", "binding") or name == odd:
            values[name] = draw(draw(st.sampled_from([anything, scalars if kind == "float" else sequences])))
        elif kind == "float":
            values[name] = draw(floats)
        else:  # mostly as long as bl, for bf
            bl = values.get("bl", ("",))
            size = len(bl[1]) if name == "bf" and bl[0] == "list" and draw(st.integers(0, 3)) else None
            values[name] = ("list", draw(st.lists(floats, min_size=size or 0, max_size=size or CAP)))
    names = list(fn.names)
    if mode == "binding":
        count = draw(st.integers(0, len(names) + 2))
        positional = [values.get(n) or draw(anything) for n in (names + ["extra", "extra"])[:count]]
        keywords = draw(st.lists(st.sampled_from(names + KEYWORDS), unique=True, max_size=len(names) + 1))
        return positional, {k: values.get(k) or draw(anything) for k in keywords}
    count = draw(st.integers(0, len(names)))
    keywords = draw(st.permutations(names[count:]))
    return [values[n] for n in names[:count]], {k: values[k] for k in keywords}


# --- the model -----------------------------------------------------------------------

def observed(error):
    """An exception as compared: type, arguments, notes, context, and whether it is the very
    exception an argument object raised."""
    return (type(error), error.args, getattr(error, "__notes__", None), type(error.__context__),
            bool(RAISED) and error is RAISED[-1])


def outcome(call, *args, **kwargs):
    """A comparable result (the value's repr, so bit for bit, or the exception), and the result."""
    RAISED.clear()
    try:
        return ("value", repr(result := call(*args, **kwargs))), result
    except BaseException as error:
        return observed(error), error


def binding_error(fn, npositional, keywords):
    """The binding's failure: the module's own messages, fixed whatever the interpreter's own
    say (3.13 and later add a "Did you mean" to theirs). Too many positional arguments are
    counted first (unlike for a Python function), then each keyword in order, then what is
    missing; a keyword name is shown with str(), which may raise."""
    name, names = f"{fn.name}()", fn.names
    if npositional > len(names):
        return observed(TypeError(f"{name} takes {len(names)} positional arguments but "
                                  f"{npositional} {'was' if npositional == 1 else 'were'} given"))
    RAISED.clear()
    bound = set(names[:npositional])
    try:
        for keyword in keywords:
            if keyword not in names:
                raise TypeError(f"{name} got an unexpected keyword argument '{keyword!s}'")
            if keyword in bound:
                raise TypeError(f"{name} got multiple values for argument '{keyword!s}'")
            bound.add(keyword)
    except BaseException as error:
        return observed(error)
    missing = [f"'{n}'" for n in names if n not in bound]
    if not missing:
        return None
    listed = " and ".join(missing) if len(missing) < 3 else ", ".join(missing[:-1]) + ", and " + missing[-1]
    return observed(TypeError(f"{name} missing {len(missing)} required positional "
                              f"argument{'s' if len(missing) > 1 else ''}: {listed}"))


def to_double(value):
    return value if type(value) is float else as_double(value)


def to_array(value):
    if isinstance(value, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not is_sequence(value):
        what = "'None'" if value is None else f"'{type(value).__qualname__}' object"
        raise TypeError(f"{what} is not an instance of 'Sequence'")
    try:
        len(value)  # only a capacity hint: an Exception is ignored, an interruption is not
    except Exception:
        pass
    return [to_double(item) for item in value]  # whatever len() says


def model(fn, positional, keywords):
    """What the call must give, by conversion in Python and a call with plain floats."""
    if failure := binding_error(fn, len(positional), keywords):
        return failure, None
    bound = dict(zip(fn.names, positional), **keywords)
    converted = {}
    RAISED.clear()
    for name in fn.names:
        try:
            value = make(bound[name])
            converted[name] = to_double(value) if fn.kinds[name] == "float" else to_array(value)
        except BaseException as error:
            with contextlib.suppress(BaseException):
                error.add_note(f"while processing '{name}'")
            return observed(error), None
    return outcome(fn, **converted)[0], converted


def check_result(fn, result, converted):
    """The result has the documented shape, or the exception is a documented one."""
    unequal = fn.panic and len(converted["bl"]) != len(converted["bf"])
    if not isinstance(result, BaseException):
        if fn.result == "float":
            assert type(result) is float
            return
        rows = result if fn.result == "lists" else [result]
        assert type(result) is list and not unequal
        assert len(rows) == (len(converted["re"]) * len(converted["rstar"]) if fn.result == "lists" else 1)
        assert all(type(row) is list and list(map(type, row)) == [float] * len(converted["l"])
                   for row in rows)
        return
    kind, args = type(result), result.args
    assert not hasattr(result, "__notes__")
    if unequal:
        assert (kind.__module__, kind.__name__) == ("tessel_runtime", "PanicException")
        assert args == ("assertion `left == right` failed\n  left: {}\n right: {}".format(
            len(converted["bl"]), len(converted["bf"])),)
    else:  # only the two functions that pass elliptic-integral errors on
        assert kind is RuntimeError and fn.error and args[0].startswith("ellip"), (kind, args)


@contextlib.contextmanager
def quiet_stderr():
    """Sends fd 2 (where every fatal failure is reported) to /dev/null meanwhile."""
    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        with os.fdopen(os.dup(saved), "w") as report:
            faulthandler.dump_traceback_later(120, exit=True, file=report)  # a hang fails the run
            try:
                yield
            finally:
                faulthandler.cancel_dump_traceback_later()
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def test_fuzz(fn, record_property):
    examples = 0

    @settings(max_examples=EXAMPLES // len(fn.names), deadline=None, database=None,
              suppress_health_check=list(HealthCheck))
    @given(call=arguments(fn), warning=st.sampled_from(["ignore", "error"]))
    def check(call, warning):
        nonlocal examples
        examples += 1
        positional, keywords = call
        with warnings.catch_warnings():
            warnings.simplefilter(warning)  # as errors, a deprecated conversion fails
            expected, converted = model(fn, positional, keywords)
            actual, result = outcome(fn, *map(make, positional), **{k: make(v) for k, v in keywords.items()})
        assert actual == expected
        if converted is not None:
            check_result(fn, result, converted)

    with quiet_stderr():
        check()
    record_property("hypothesis examples", examples)
    print(f"{fn.name}: {examples} examples")
