"""The Body record: its NumPy dtype, its byte layout and its dict form."""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, strategies as st

from orbitra.body import Body, dtype

# r, v, probe, m: packed, native byte order, no gaps.
RECORD = struct.Struct("=3d3dbd")
DOUBLES = ["m", "x", "y", "z", "vx", "vy", "vz"]


def pack(m=0.0, x=0.0, y=0.0, z=0.0, vx=0.0, vy=0.0, vz=0.0, probe=0):
    return RECORD.pack(x, y, z, vx, vy, vz, probe, m)


def dict_to_bytes(d):
    a = np.zeros(1, dtype)
    a[0] = (d["r"], d["v"], d["probe"], d["m"])
    return a.tobytes()


def test_dtype_layout():
    assert dtype.itemsize == RECORD.size == 57
    assert dtype.names == ("r", "v", "probe", "m")
    assert [dtype.fields[name][1] for name in dtype.names] == [0, 24, 48, 49]
    assert [(dtype[n].base, dtype[n].shape) for n in dtype.names] == [
        (np.dtype(np.float64), (3,)), (np.dtype(np.float64), (3,)),
        (np.dtype(np.int8), ()), (np.dtype(np.float64), ())]
    assert all(dtype[n].isnative for n in dtype.names)
    assert not dtype.isalignedstruct


@pytest.mark.parametrize("args", [
    (),
    (1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 1),
    (-1.5, 1e300, -2.5e-310, 0.1, math.pi, -math.e, 123456.789, -128),
    (5e-324, -0.0, 1.7976931348623157e308, -1.0, 2.0 ** 52 + 1, -3.0, 1e-9, 127),
])
def test_record_and_array_element_agree_byte_for_byte(args):
    d = Body(*args)
    raw = pack(*args)
    element = np.frombuffer(raw, dtype)[0]
    assert {name: element[name].tolist() for name in dtype.names} == d
    assert dict_to_bytes(d) == raw


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, -0.0, 5e-324, -1.0],
                         ids=["nan", "inf", "-inf", "-0.0", "subnormal", "-1.0"])
@pytest.mark.parametrize("slot", DOUBLES)
def test_special_doubles_pass_through_bit_for_bit(slot, value):
    assert dict_to_bytes(Body(**{slot: value})) == pack(**{slot: value})


@given(st.lists(st.floats(), min_size=7, max_size=7), st.integers(-128, 127))
def test_random_records_match_packed_bytes(doubles, probe):
    assert dict_to_bytes(Body(*doubles, probe)) == pack(*doubles, probe)


def test_probe_is_sign_extended():
    for probe in range(-128, 128):
        d = Body(probe=probe)
        assert type(d["probe"]) is int and d["probe"] == probe
        assert dict_to_bytes(d)[48] == probe & 0xFF


def test_record_dict_shape():
    d = Body(1, 2, 3, 4, 5, 6, 7, True)
    assert type(d) is dict and list(d) == ["r", "v", "probe", "m"]
    assert type(d["r"]) is list and type(d["v"]) is list
    assert [type(value) for value in d["r"] + d["v"] + [d["m"]]] == [float] * 7
    assert type(d["probe"]) is int
    assert d == {"r": [2.0, 3.0, 4.0], "v": [5.0, 6.0, 7.0], "probe": 1, "m": 1.0}


def test_each_call_makes_new_objects():
    a, b = Body(), Body()
    assert a is not b and a["r"] is not b["r"] and a["v"] is not b["v"]
    assert a["r"] is not a["v"]
    a["r"][0] = 9.0
    a["v"].append(1.0)
    assert Body() == b == {"r": [0.0] * 3, "v": [0.0] * 3, "probe": 0, "m": 0.0}
