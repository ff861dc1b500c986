"""BodyArray: building a NumPy array of the record dtype from an iterable of record dicts."""
import builtins
import gc
import math
import random
import re
import sys
import traceback
import types
import warnings

import numpy as np
import pytest

import orbitra.body as ob

SOURCE = "orbitra\\body"
ENTRY_NAME = re.compile(r"^orbitra\.body\.BodyArray \((\w+\.cpp):(\d+)\)$")


def twin(bodies):
    """Plain-Python BodyArray, the oracle for the module's."""
    items = list(bodies)
    return np.array([(b["r"], b["v"], b["probe"], b["m"]) for b in items], dtype=ob.dtype)


def assert_same_array(result, expected):
    assert type(result) is np.ndarray
    assert result.dtype == ob.dtype and result.shape == expected.shape
    assert result.tobytes() == expected.tobytes()


def entry_line(exc):
    """Line of the single BodyArray entry in exc's traceback."""
    [entry] = [e for e in traceback.extract_tb(exc.__traceback__) if ENTRY_NAME.match(e.name)]
    assert entry.filename == SOURCE
    return entry.lineno


def random_bodies(n, seed, extremes=(0.0, -0.0, 1e300, -1e-300, math.inf, -math.inf, math.nan)):
    rnd = random.Random(seed)

    def value():
        return rnd.choice(extremes) if rnd.random() < 0.1 else rnd.uniform(-1e6, 1e6)
    return [ob.Body(*[value() for _ in range(7)], probe=rnd.randint(-128, 127)) for _ in range(n)]


BODIES = random_bodies(5, 1, extremes=(0.0, -1.0))


@pytest.mark.parametrize("bodies", [[], (), iter([]), ""], ids=["list", "tuple", "iterator", "str"])
def test_empty(bodies):
    assert_same_array(ob.BodyArray(bodies), np.empty(0, ob.dtype))


def test_two_bodies():
    result = ob.BodyArray([ob.Body(m=1.0, x=1.0), ob.Body(probe=1)])
    assert [(e["m"], e["r"].tolist(), e["v"].tolist(), e["probe"]) for e in result] == [
        (1.0, [1.0, 0.0, 0.0], [0.0] * 3, 0), (0.0, [0.0] * 3, [0.0] * 3, 1)]


@pytest.mark.parametrize("n, seed", [(1, 2), (7, 3), (300, 4)])
def test_matches_twin(n, seed):
    bodies = random_bodies(n, seed)
    assert_same_array(ob.BodyArray(bodies), twin(bodies))


CALLS = []


def counted(name, result, base=object, value=()):
    cls = type(name + "Like", (base,), {"__%s__" % name: lambda self: CALLS.append(name) or result})
    return cls(*value)


PROBES = [-2 ** 63, -2 ** 31 - 1, -2 ** 31, -2 ** 30 - 3, -2 ** 30, -129, -128, -1, 0, 127, 128,
          255, 2 ** 30 - 1, 2 ** 30, 2 ** 30 + 5, 2 ** 31, 2 ** 32 + 7, 2 ** 63, 2 ** 70, True,
          type("IntSub", (int,), {})(300), 127.9, -128.9, 200.5, -1e18, np.float64(300.0),
          np.int64(300), np.uint8(200), np.int16(-129), np.int8(-5), "300", b"-129", " 12 ",
          np.array(300), np.array(300.0), np.array(200, dtype=np.uint8), np.float32(300),
          np.str_("300"), type("FloatSub", (float,), {})(300.0), counted("int", 5, int, (300,)),
          counted("index", 300), counted("int", 300),
          np.array(counted("int", 300), dtype=object),
          np.array(type("Raises", (), {"__int__": lambda self: CALLS.append("int") or 1 // 0})(), dtype=object)]
FIELDS = [("probe", probe) for probe in PROBES] + [
    ("m", counted("float", 2.5, float, (1.0,))), ("m", counted("float", 2.5)), ("m", np.array(3.5))]


@pytest.mark.parametrize("field, value", FIELDS, ids=lambda v: repr(v) if type(v) in (
    int, bool, float, str, bytes) else type(v).__name__)
def test_field_stored_as_numpy_stores_it(field, value):
    # On a fresh array whose fields may be written directly. NumPy 1.x wraps an out-of-range
    # int into int8 (with at most a warning, so warnings are errors here); NumPy 2 refuses it.
    body = dict(BODIES[0], **{field: value})

    def numpy_assignment():
        arr = np.empty(1, ob.dtype)
        for name in ("m", "r", "v", "probe"):
            arr[0][name] = body[name]
        return arr

    def outcome(f):
        del CALLS[:]
        try:
            return f().tobytes(), CALLS[:]
        except Exception as e:  # noqa: BLE001 - the error is compared
            return type(e), str(e), CALLS[:]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        expected = outcome(numpy_assignment)
        if np.__version__ < "2" and type(value) is int and -2 ** 63 <= value < 2 ** 63 and not -128 <= value <= 127:
            expected = OverflowError, "Python integer %d out of bounds for int8" % value, []
        assert outcome(lambda: ob.BodyArray([body])) == expected


class OnlyIter:
    def __iter__(self):
        return iter(BODIES)


@pytest.mark.parametrize("make", [
    tuple, iter, lambda b: (x for x in b), lambda b: dict(enumerate(b)).values(),
    lambda b: type("Sub", (list,), {})(b), lambda b: OnlyIter(), twin,
], ids=["tuple", "iterator", "generator", "dict values", "list subclass", "iterable", "records"])
def test_any_iterable(make):
    assert_same_array(ob.BodyArray(make(BODIES)), twin(BODIES))


def without(d, key):
    del d[key]
    return d


class Keyed:
    """Supports item["m"] and nothing else of a dict."""
    def __init__(self, d):
        self.d = d

    def __getitem__(self, key):
        return self.d[key]


@pytest.mark.parametrize("make", [
    lambda d: dict(d, extra="ignored", r2=None), types.MappingProxyType, Keyed,
    lambda d: twin([d])[0],
    lambda d: {"m": int(d["m"]), "r": tuple(d["r"]), "v": np.array(d["v"]), "probe": bool(d["probe"])},
    lambda d: dict(d, r=d["r"][:2] + ["3"]),
    lambda d: {"v": tuple(d["v"]), "r": tuple(d["r"]), "probe": d["probe"], "m": d["m"]},
    lambda d: {type("Name", (str,), {})(k): v for k, v in d.items()},
    lambda d: {"".join(["pro", "be"]) if k == "probe" else k: v for k, v in d.items()},
    lambda d: without(dict(d, w=0.0), "w"),
    lambda d: type("Sub", (dict,), {})(d),
], ids=["extra keys", "mapping proxy", "getitem only", "record element", "other value types",
        "str in r", "tuples, other order", "str-subclass keys", "an equal key not interned",
        "a key deleted", "dict subclass"])
def test_items_need_only_the_four_keys(make):
    items = [make(d) for d in BODIES]
    assert_same_array(ob.BodyArray(items), twin(items))


def failing_generator():
    yield ob.Body()
    raise ZeroDivisionError("gen")


TAKES = {"m": "a real number", "r": "3 real numbers", "v": "3 real numbers",
         "probe": "an integer from -128 to 127"}


def read_note(field, index, type_name):
    note = ("while reading field '{}' of element {} of BodyArray's input, of type '{}': "
            "BodyArray takes an iterable of mappings with the keys 'm', 'r', 'v' and 'probe'"
            ).format(field, index, type_name)
    return note + " (a single mapping passed alone is iterated over its keys)" if type_name == "str" else note


def store_note(field, index):
    return "while storing field '{}' ({}) of element {} of BodyArray's input".format(
        field, TAKES[field], index)


@pytest.mark.parametrize("bodies, error, key, line, note", [
    (5, TypeError, None, 37, None),
    (failing_generator(), ZeroDivisionError, "gen", 37, None),
    ([{}], KeyError, "m", 40, read_note("m", 0, "dict")),
    ([{"m": 1.0}], KeyError, "r", 41, read_note("r", 0, "dict")),
    ([{"m": 1.0, "r": [1.0] * 3}], KeyError, "v", 42, read_note("v", 0, "dict")),
    ([{"m": 1.0, "r": [1.0] * 3, "v": [1.0] * 3}], KeyError, "probe", 43, read_note("probe", 0, "dict")),
    ([ob.Body(), ob.Body(), {"r": 1}], KeyError, "m", 40, read_note("m", 2, "dict")),
    ([ob.Body(), None], TypeError, None, 40, read_note("m", 1, "NoneType")),
    ([3], TypeError, None, 40, read_note("m", 0, "int")),
    ("ab", TypeError, None, 40, read_note("m", 0, "str")),
    (ob.Body(), TypeError, None, 40, read_note("m", 0, "str")),
    (twin(BODIES).tolist(), TypeError, None, 40, read_note("m", 0, "tuple")),
    (np.zeros(2), IndexError, None, 40, read_note("m", 0, "numpy.float64")),
    ([dict(ob.Body(), m="heavy")], ValueError, None, 40, store_note("m", 0)),
    ([ob.Body()] * 4 + [dict(ob.Body(), m="heavy")], ValueError, None, 40, store_note("m", 4)),
    ([dict(ob.Body(), r=[1.0, 2.0])], ValueError, None, 41, store_note("r", 0)),
    ([ob.Body(), ob.Body(), dict(ob.Body(), r=[1.0, 2.0])], ValueError, None, 41, store_note("r", 2)),
    ([dict(ob.Body(), v="xyz")], ValueError, None, 42, store_note("v", 0)),
    ([dict(ob.Body(), probe="abc")], ValueError, None, 43, store_note("probe", 0)),
    ([ob.Body(), dict(ob.Body(), probe=300)], OverflowError, None, 43, store_note("probe", 1)),
])
def test_failures(bodies, error, key, line, note):
    with pytest.raises(error) as info:
        ob.BodyArray(bodies)
    if key is not None:
        assert info.value.args == (key,)
    assert entry_line(info.value) == line
    # From CPython 3.11 a note says which element and field; the message stays NumPy's or the
    # interpreter's own.
    expected = [note] if note and sys.version_info >= (3, 11) else None
    assert getattr(info.value, "__notes__", None) == expected


@pytest.mark.parametrize("call", [
    lambda: ob.BodyArray(), lambda: ob.BodyArray([], []), lambda: ob.BodyArray(bodies=[]),
], ids=["none", "two", "keyword"])
def test_takes_exactly_one_positional_argument(call):
    with pytest.raises(TypeError, match=r"BodyArray\(\) takes"):
        call()


class StandInNumpy:
    """Stands in for the module global `np`: logs and forwards calls of `empty`."""
    def __init__(self, log=None, fill=None, array_type=np.ndarray):
        self.log = log if log is not None else []
        self.fill, self.array_type = fill, array_type
        self.calls, self.arrays = [], []

    def empty(self, *args, **kwargs):
        self.log.append("empty")
        self.calls.append((args, kwargs))
        arr = np.empty(*args, **kwargs)
        if self.fill is not None:
            arr.view(np.uint8)[:] = self.fill
        self.arrays.append(arr.view(self.array_type))
        return self.arrays[-1]


def test_calls_empty_of_global_np_with_length_and_global_dtype(monkeypatch):
    np_ = StandInNumpy()
    monkeypatch.setattr(ob, "np", np_)
    result = ob.BodyArray(BODIES[:2])
    [(args, kwargs)] = np_.calls
    assert args == (2,) and type(args[0]) is int
    assert list(kwargs) == ["dtype"] and kwargs["dtype"] is ob.dtype
    assert result is np_.arrays[0]
    assert_same_array(result, twin(BODIES[:2]))


@pytest.mark.parametrize("other", [
    np.dtype([("m", "f4"), ("probe", "i2"), ("r", "f4", (3,)), ("v", "f8", (3,))]),
    np.dtype([("m", "f8"), ("r", "f8", (3,)), ("v", "f8", (3,)), ("probe", "i1")]),
], ids=["other-size", "same-size-other-order"])
def test_global_dtype_is_read_at_each_call(monkeypatch, other):
    monkeypatch.setattr(ob, "dtype", other)
    result = ob.BodyArray([ob.Body(m=1.5, x=2.0, vz=3.0, probe=-4)])
    assert result.dtype == other
    assert (result["m"].tolist(), result["probe"].tolist()) == ([1.5], [-4])
    assert (result["r"].tolist(), result["v"].tolist()) == ([[2.0, 0.0, 0.0]], [[0.0, 0.0, 3.0]])


@pytest.mark.parametrize("empty", [
    lambda n, dtype: [{} for _ in range(n)],
    lambda n, dtype: np.zeros(n, [("m", "f8"), ("r", "f8", (3,)), ("v", "f8", (3,)), ("probe", "i2")]),
], ids=["plain-rows", "wider-probe"])
def test_probe_range_is_left_to_an_array_of_another_type(monkeypatch, empty):
    # Only NumPy's records of the record dtype store the probe as int8.
    monkeypatch.setattr(ob, "np", types.SimpleNamespace(empty=empty))
    assert ob.BodyArray([dict(BODIES[0], probe=-300)])[0]["probe"] == -300


@pytest.mark.parametrize("name", ["np", "dtype"])
def test_missing_global(monkeypatch, name):
    monkeypatch.delattr(ob, name)
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name) as info:
        ob.BodyArray([])
    assert entry_line(info.value) == 38


@pytest.mark.parametrize("name, value", [("np", np), ("dtype", ob.dtype)])
def test_global_falls_back_to_builtins(monkeypatch, name, value):
    expected = twin(BODIES)
    monkeypatch.delattr(ob, name)
    monkeypatch.setattr(builtins, name, value, raising=False)
    assert ob.BodyArray(BODIES).tobytes() == expected.tobytes()


def test_module_global_hides_builtin(monkeypatch):
    monkeypatch.setattr(builtins, "np", object(), raising=False)
    monkeypatch.setattr(builtins, "dtype", "not a dtype", raising=False)
    assert_same_array(ob.BodyArray(BODIES), twin(BODIES))


@pytest.mark.parametrize("name, value, error", [
    ("np", types.SimpleNamespace(), AttributeError),
    ("dtype", "no such type", TypeError),
    ("np", types.SimpleNamespace(empty=None), TypeError),
])
def test_empty_failures(monkeypatch, name, value, error):
    monkeypatch.setattr(ob, name, value)
    with pytest.raises(error) as info:
        ob.BodyArray(BODIES)
    assert entry_line(info.value) == 38


def test_elements_before_the_failure_are_written(monkeypatch):
    np_ = StandInNumpy(fill=0xAB)
    monkeypatch.setattr(ob, "np", np_)
    partial = {"m": 2.0, "r": [1.0, 2.0, 3.0], "v": [4.0, 5.0, 6.0]}
    with pytest.raises(KeyError, match="probe") as info:
        ob.BodyArray([BODIES[0], partial, BODIES[1]])
    assert entry_line(info.value) == 43
    [arr] = np_.arrays
    assert arr[:1].tobytes() == twin(BODIES[:1]).tobytes()
    assert (arr[1]["m"], arr[1]["r"].tolist(), arr[1]["v"].tolist()) == (2.0, partial["r"], partial["v"])
    assert arr[1]["probe"] == np.int8(-0x55) and arr[2:].tobytes() == b"\xab" * 57


def test_mass_is_written_before_a_bad_position(monkeypatch):
    np_ = StandInNumpy(fill=0)
    monkeypatch.setattr(ob, "np", np_)
    with pytest.raises(ValueError) as info:
        ob.BodyArray([dict(BODIES[0], m=5.0, r=[1.0, 2.0])])
    assert entry_line(info.value) == 41
    assert np_.arrays[0][0]["m"] == 5.0


class ReversedRows(np.ndarray):
    """Row i is the element counted from the end."""
    def __getitem__(self, index):
        return super().__getitem__(-1 - index if isinstance(index, int) else index)


@pytest.mark.parametrize("make", [
    lambda n: np.zeros(n, ob.dtype).view(ReversedRows), lambda n: np.zeros((2, n), ob.dtype),
], ids=["subclass", "two-dimensional"])
@pytest.mark.parametrize("probe", [None, 127, -128])  # the range's ends, past NumPy 1.x's check
def test_array_from_a_replaced_empty_is_filled_by_assignment(monkeypatch, make, probe):
    bodies = [b if probe is None else dict(b, probe=probe) for b in BODIES[:2]]
    expected = make(2)
    for i, b in enumerate(bodies):
        for field in ("m", "r", "v", "probe"):
            expected[i][field] = b[field]
    monkeypatch.setattr(ob, "np", types.SimpleNamespace(empty=lambda n, dtype: make(n)))
    result = ob.BodyArray(bodies)
    assert result.view(np.ndarray).tobytes() == expected.view(np.ndarray).tobytes()


def test_order_of_reads_and_row_fetches(monkeypatch):
    log = []

    class LoggingItem(Keyed):
        def __getitem__(self, key):
            log.append(("item", key))
            return self.d[key]

    class LoggingArray(np.ndarray):
        def __getitem__(self, index):
            log.append(("row", index, type(index)))
            return super().__getitem__(index)

    def items():
        for k in range(3):
            log.append(("yield", k))
            yield LoggingItem(BODIES[k])

    np_ = StandInNumpy(log=log, array_type=LoggingArray)
    monkeypatch.setattr(ob, "np", np_)
    result = ob.BodyArray(items())
    expected = [("yield", 0), ("yield", 1), ("yield", 2), "empty"]
    for k in range(3):
        for field in ("m", "r", "v", "probe"):
            expected += [("item", field), ("row", k, int)]
    assert log == expected
    assert result.view(np.ndarray).tobytes() == twin(BODIES[:3]).tobytes()


def test_caller_object_is_not_used_after_copying():
    class Odd(list):
        def __iter__(self):
            return reversed(BODIES[:3])

        def __len__(self):
            return 99

    assert_same_array(ob.BodyArray(Odd()), twin(reversed(BODIES[:3])))

    bodies = list(BODIES)

    class Growing(Keyed):
        def __getitem__(self, key):
            bodies.append(BODIES[0])
            return self.d[key]
    bodies[0] = Growing(BODIES[0])
    assert ob.BodyArray(bodies).shape == (len(BODIES),)


def test_references_are_released():
    items = [ob.Body(m=float(k) + 0.5) for k in range(3)]
    mass = items[0]["m"]
    bodies = list(items)
    objects = [bodies, mass] + items
    # What getrefcount reads for an object that one local alone holds: 2 up to 3.13, 1 on
    # 3.14+, whose getrefcount no longer counts the reference its own argument passes.
    alone = object()
    sole_owner = sys.getrefcount(alone)
    for round_ in range(2):  # the first round may fill caches
        before = [sys.getrefcount(o) for o in objects]
        for _ in range(50):
            result = ob.BodyArray(bodies)
            assert sys.getrefcount(result) == sole_owner
            for bad in ({"m": mass}, {"m": mass, "r": 1}, 7):
                try:
                    ob.BodyArray(bodies + [bad])
                except (KeyError, ValueError, TypeError):
                    pass
            try:
                ob.BodyArray(iter(bodies + [{"m": mass}]))
            except KeyError:
                pass
        gc.collect()
        after = [sys.getrefcount(o) for o in objects]
    assert before == after
