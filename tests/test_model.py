"""Body and BodyArray against a small pure-Python model, on generated arguments.

BodyArray is also run twice more on the same items: once on an array it may write
directly (a fresh exact ndarray) and once on an ndarray subclass, which it must fill
through NumPy's item assignment; all three must agree byte for byte.
"""
import ctypes
import os
import struct
import traceback

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import orbitra.body as ob

pytestmark = pytest.mark.slow

call = ctypes.pythonapi.PyObject_Call  # hands our own dict (any keys, any order) to Body
call.argtypes = (ctypes.py_object,) * 3
call.restype = ctypes.py_object

NAMES = ("m", "x", "y", "z", "vx", "vy", "vz", "probe")
FIELDS = ("m", "r", "v", "probe")
HEAPTYPE = 1 << 9


def examples(n):
    # Under emulation, where each example costs some twenty times more, CI asks for fewer.
    return min(n, int(os.environ.get("ORBITRA_MODEL_EXAMPLES", n)))


def type_name(obj):
    t = type(obj)
    if t.__flags__ & HEAPTYPE or t.__module__ == "builtins":
        return t.__name__
    return "%s.%s" % (t.__module__, t.__name__)


def to_double(v):
    if isinstance(v, float):  # the stored value, whatever __float__ a subclass has
        return float.__float__(v)
    if hasattr(type(v), "__float__") or hasattr(type(v), "__index__"):
        return float(v)
    raise TypeError("must be real number, not %s" % type_name(v))


LONG_LIMIT = 2 ** (8 * ctypes.sizeof(ctypes.c_long) - 1)


def to_byte(v):
    if not isinstance(v, int):
        if not hasattr(type(v), "__int__"):
            raise TypeError("an integer is required")
        v = int(v)
    if not -LONG_LIMIT <= v < LONG_LIMIT:  # the platform's C long: 32 bits on Windows
        raise OverflowError("Python int too large to convert to C long")
    if not -128 <= v <= 127:
        raise OverflowError("value too large to convert to char")
    return int(v)


MISSING = object()


def lookup(mapping, name):
    """One PyDict_GetItem: an error raised by a key's __eq__ only means "not found"."""
    try:
        return mapping.get(name, MISSING)
    except RecursionError:
        raise
    except Exception:  # noqa: BLE001 - swallowed as the C lookup swallows it
        return MISSING


def matching_name(key, names):
    """The binder's name test: the same object or the same text; a str subclass's own
    __eq__ is not called."""
    return next((name for name in names if key is name or str.__eq__(key, name) is True), None)


def model_body(args, kwargs):
    n = len(args)
    if n > 8:
        raise TypeError("Body() takes at most 8 positional arguments (%d given)" % n)
    bound = dict(zip(NAMES, args))
    remaining = len(kwargs)
    for name in NAMES[n:]:
        value = lookup(kwargs, name) if remaining else MISSING
        if value is not MISSING:
            bound[name], remaining = value, remaining - 1
    if remaining:
        for key, value in kwargs.items():
            if not isinstance(key, str):
                raise TypeError("Body() keywords must be strings")
            if matching_name(key, NAMES[n:]):
                bound[matching_name(key, NAMES[n:])] = value
            elif matching_name(key, NAMES[:n]):
                raise TypeError("Body() got multiple values for keyword argument '%s'"
                                % str.__str__(key))
            else:
                raise TypeError("Body() got an unexpected keyword argument '%s'" % str.__str__(key))
    m, x, y, z, vx, vy, vz = [to_double(bound[k]) if k in bound else 0.0 for k in NAMES[:7]]
    probe = to_byte(bound["probe"]) if "probe" in bound else 0
    return {"r": [x, y, z], "v": [vx, vy, vz], "probe": probe, "m": m}


def outcome(f, *args):
    try:
        return "ok", repr(f(*args))  # repr tells 1 from 1.0, -0.0 from 0.0 and keeps NaN equal
    except Exception as e:  # noqa: BLE001 - every error is compared
        return type(e), str(e)


class Float:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        if isinstance(self.v, Exception):
            raise self.v
        return self.v

    __int__ = __float__

    def __repr__(self):
        return "Float(%r)" % (self.v,)


class Index:
    def __index__(self):
        return 7


class FloatSub(float):
    def __float__(self):
        return 99.0


class IntSub(int):
    def __int__(self):
        return 99


def any_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


floats = st.floats() | st.sampled_from([-1.0, -0.0, float("nan"), float("-inf")]) | \
    st.integers(0, 2 ** 64 - 1).map(any_bits)
ints = st.integers(-300, 300) | st.sampled_from([-1, 2 ** 31, 2 ** 63 - 1, 2 ** 63, -2 ** 63,
                                                 -2 ** 63 - 1, 2 ** 70, 2 ** 1100])
odd = st.sampled_from(["1", "a", "", None, [1.0], Index(), FloatSub(1.5), IntSub(-3),
                       np.float64(-1.9), np.int8(-128), np.int64(300), np.bool_(True),
                       np.float32(2.5)])
hooks = st.builds(Float, floats | ints | st.sampled_from(["s", None, ValueError("boom")]))
values = floats | ints | st.booleans() | odd | hooks


# Equal to a parameter's name but not the interned object the module binds by identity.
UNINTERNED = ("".join(["v", "x"]), "".join(["pro", "be"]))


class KeywordDict(dict):
    pass


@st.composite
def arguments(draw):
    """Mostly calls that bind, so that the conversions get their share; among them calls of
    exact floats and small ints by the parameters' own names, and calls that miss that by
    one thing (an uninterned name, a bool, a float subclass, a keyword dict subclass)."""
    n = draw(st.integers(0, 9))
    args = draw(st.lists(values, min_size=n, max_size=n))
    free = NAMES[n:] * 6 if n < 8 else ("x",)
    keys = st.sampled_from(free + NAMES[:n] + UNINTERNED + ("w", "probe ", 1, b"m"))
    kwargs = draw(st.dictionaries(keys, values, max_size=4))
    return args, KeywordDict(kwargs) if draw(st.integers(0, 9)) == 0 else kwargs


@settings(derandomize=True, max_examples=examples(400), deadline=None)
@given(arguments())
def test_body_matches_model(arguments):
    args, kwargs = arguments
    assert outcome(call, ob.Body, tuple(args), kwargs) == outcome(model_body, args, kwargs)


class Key(str):
    """Hashes and compares as str, but a dict holding one is bound from a copy of its entries."""


def place(f, *args):
    """The outcome, and the place of the module's traceback entry on failure."""
    try:
        return "ok", repr(f(*args)), None
    except Exception as e:  # noqa: BLE001 - every error is compared
        return type(e), str(e), traceback.extract_tb(e.__traceback__)[-1].name


@settings(derandomize=True, max_examples=examples(300), deadline=None)
@given(arguments(), st.data())
def test_copied_keywords_bind_as_the_dict_does(arguments, data):
    args, kwargs = arguments
    copied = {Key(k) if isinstance(k, str) and data.draw(st.booleans()) else k: v
              for k, v in kwargs.items()}
    assert place(call, ob.Body, tuple(args), copied) == place(call, ob.Body, tuple(args), kwargs)


# ---------------------------------------------------------------------------------------
# BodyArray

FILL = b"\xa5"


class Sub(np.ndarray):
    pass


class Item(dict):
    def __getitem__(self, key):
        return dict.__getitem__(self, key) if key != "v" else [1.0, -1.0, 0.5]


RECORDS = np.frombuffer(bytes(range(57)) * 3, ob.dtype).copy()


def fill_array(bodies, view=None):
    """BodyArray with `np.empty` giving a prefilled array; returns the outcome and the bytes."""
    memory = []

    def empty(n, dtype):
        memory.append(bytearray(FILL * (57 * n)))
        arr = np.frombuffer(memory[-1], dtype)
        return arr if view is None else arr.view(view)

    saved = ob.np
    ob.np = type("Numpy", (), {"empty": staticmethod(empty)})
    try:
        result = outcome(lambda: ob.BodyArray(bodies).view(np.ndarray).tobytes())
    finally:
        ob.np = saved
    return result, bytes(memory[0]) if memory else None


NUMPY_WRAPS_INT8 = np.__version__.startswith("1.")


def check_probe(value):
    """NumPy 2 refuses an out-of-range int8 that NumPy 1.x wraps; on NumPy 1.x BodyArray
    refuses an exact int out of range as NumPy 2 does, and leaves any other value to NumPy."""
    if NUMPY_WRAPS_INT8 and type(value) is int and -2 ** 63 <= value < 2 ** 63 and not -128 <= value <= 127:
        raise OverflowError("Python integer %d out of bounds for int8" % value)


def model_fill(bodies):
    """What BodyArray is documented to do, written out, on the same kind of array."""
    bodies = list(bodies)
    memory = bytearray(FILL * (57 * len(bodies)))
    arr = np.frombuffer(memory, ob.dtype)

    def run():
        i = 0
        while i < len(bodies):
            b = bodies[i]
            for field in FIELDS:
                value = b[field]
                row = arr[i]
                if field == "probe":
                    check_probe(value)
                row[field] = value
            i += 1
        return arr.tobytes()
    return outcome(run), bytes(memory)


triples = st.one_of(
    st.tuples(floats, floats, floats).map(list), st.tuples(floats, floats, floats),
    st.lists(floats | ints | st.booleans(), min_size=2, max_size=4),
    st.sampled_from([np.arange(3.0), np.float64(2.0), 1.5, "abc", None, [[1.0, 2.0, 3.0]],
                     [1.0, "x", 2.0], (1, 2, 3), np.int8(4), [1.0, FloatSub(2.0), 3.0]]))
masses = floats | ints | st.booleans() | st.sampled_from(
    ["1.5", "abc", None, np.float32(0.1), np.int64(-5), np.arange(1.0), [2.0], FloatSub(0.5)])
probes = st.integers(-130, 130) | st.booleans() | st.sampled_from(
    [1.5, -1.9, np.int64(300), np.int8(-7), 2 ** 70, "3", None, float("nan")])
field_values = {"m": masses, "r": triples, "v": triples, "probe": probes}


def field_key(draw, field):
    """Mostly the field's name as the module interns it; now and then an equal str that is
    not that object, which the dict's lookup finds but the one-pass read must pass over."""
    kind = draw(st.integers(0, 12))
    if kind == 0:
        return Key(field)
    if kind == 1 and len(field) > 1:  # one-character strs are all the same object
        return "".join([field[:2], field[2:]])
    return field


@st.composite
def items(draw):
    kind = draw(st.sampled_from(["dict"] * 6 + ["sub", "record", "int"]))
    if kind == "record":
        return RECORDS[draw(st.integers(0, 2))]
    if kind == "int":
        return 7
    body = {}
    for field in draw(st.permutations(FIELDS)):
        if draw(st.integers(0, 30)):  # now and then a key is missing
            body[field_key(draw, field)] = draw(field_values[field])
    extra = draw(st.integers(0, 8))
    if extra < 2:  # a fifth key, kept or deleted again, which leaves a gap in the entries
        body["w"] = 0.5
        if extra:
            del body["w"]
    return Item(body) if kind == "sub" else body


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # NumPy 1.x wrapping int8 values
@settings(derandomize=True, max_examples=examples(300), deadline=None)
@given(st.lists(items(), max_size=4))
def test_body_array_matches_model_and_paths_agree(bodies):
    expected = model_fill(bodies)
    assert fill_array(bodies) == expected  # direct writes allowed
    assert fill_array(bodies, Sub) == expected  # NumPy does every write
    # and with the real numpy.empty: only the result or the error can be seen
    assert outcome(lambda: ob.BodyArray(bodies).tobytes()) == expected[0]
