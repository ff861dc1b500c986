"""Start-up of orbitra.body: module surface, import warnings and the checks of the NumPy types."""
import builtins
import importlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import orbitra.body as ob

DOC = ("\nBasic Body object for the simulation.\n"
       "A physical body with mass, coordinates and momentum.\n"
       "Its class lacks behaviour and only stores data.\n"
       "Technically it's a C struct, sometimes posing as a numpy record array.\n")

NUMPY_TYPES = ["dtype", "flatiter", "broadcast", "ndarray", "ufunc"]

# Shared by the child scripts: a type smaller than anything checked, and a type
# larger than numpy.NAME that forwards calls to the real type and logs them.
PRELUDE = """
import sys, warnings, builtins, numpy
class Small:
    pass
real = getattr(numpy, "NAME", type)
calls, made = [], []
def forward(cls, *args, **kwargs):
    calls.append((args, kwargs))
    made.append(real(*args, **kwargs))
    return made[-1]
Big = type("Big", (), {"__slots__": tuple("a%d" % i for i in range(real.__basicsize__ // 8 + 1)),
                       "__new__": forward})
grown = ("numpy.NAME size changed, may indicate binary incompatibility. Expected %d, got %d"
         % (real.__basicsize__, Big.__basicsize__))
"""


def run_child(tmp_path, code, name="dtype", *flags):
    # In a temporary folder: the child imports the installed package, whatever the working folder holds.
    script = (textwrap.dedent(PRELUDE) + textwrap.dedent(code)).replace("NAME", name)
    res = subprocess.run([sys.executable, *flags, "-c", script], cwd=str(tmp_path),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=120)
    assert res.returncode == 0, res.stderr
    return res


def test_module_surface():
    assert ob.__name__ == "orbitra.body"
    assert ob.__doc__ == DOC
    assert ob.np is np
    assert type(ob.__test__) is dict and ob.__test__ == {}
    assert ob.__builtins__ is builtins
    assert isinstance(ob.dtype, np.dtype) and ob.dtype.itemsize == 57
    assert ob.Body.__doc__ is None
    assert ob.BodyArray.__doc__ == "Create an numpy array if bodies from an iterable of dicts."
    assert ob.BodyArray.__module__ == "orbitra.body"


def test_second_import_finds_the_first_module():
    dtype = ob.dtype
    assert importlib.import_module("orbitra.body") is ob
    assert importlib.import_module("orbitra.body") is sys.modules["orbitra.body"]
    assert ob.dtype is dtype


@pytest.mark.parametrize("flag", ["-Werror", "-Walways"])
def test_import_is_silent(tmp_path, flag):
    res = run_child(tmp_path, "import orbitra.body\n", "dtype", flag)
    assert res.stderr == ""


@pytest.mark.parametrize("module, name", [("numpy", n) for n in NUMPY_TYPES] + [("builtins", "type")])
@pytest.mark.parametrize("kind", ["shrunk", "not a type"])
def test_wrong_type_fails_import(tmp_path, kind, module, name):
    run_child(tmp_path, """
        import orbitra  # importing the package itself needs the real builtins.type
        if "KIND" == "shrunk":
            fake, error = Small, ValueError
            message = "MOD.NAME has the wrong size, try recompiling. Expected %d, got %d" % (
                MOD.NAME.__basicsize__, Small.__basicsize__)
        else:
            fake, error, message = 3, TypeError, "MOD.NAME is not a type object"
        saved, MOD.NAME = MOD.NAME, fake
        try:
            import orbitra.body
        except error as e:
            assert str(e) == message, str(e)
        else:
            raise AssertionError("import succeeded")
        finally:
            MOD.NAME = saved
        assert "orbitra.body" not in sys.modules
        """.replace("MOD", module).replace("KIND", kind), name)


@pytest.mark.parametrize("name", NUMPY_TYPES[1:])
@pytest.mark.parametrize("action", ["always", "error"])
def test_grown_type_warns(tmp_path, action, name):
    # Our filter goes first: NumPy's own filters ignore some of these warnings.
    run_child(tmp_path, """
        numpy.NAME = Big
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("ACTION")
            try:
                import orbitra.body
            except RuntimeWarning as e:
                assert "ACTION" == "error" and str(e) == grown, str(e)
                assert "orbitra.body" not in sys.modules
            else:
                assert [(w.category, str(w.message)) for w in caught] == [(RuntimeWarning, grown)]
                assert orbitra.body.dtype.itemsize == 57
        """.replace("ACTION", action), name)


def test_dtype_built_by_calling_numpy_dtype(tmp_path):
    run_child(tmp_path, """
        numpy.dtype = Big
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import orbitra.body
        fields = [("r", numpy.double, (3,)), ("v", numpy.double, (3,)),
                  ("probe", numpy.int8), ("m", numpy.double)]
        assert calls == [((fields,), {"align": False})], calls
        assert orbitra.body.dtype is made[0]
        """)


# (break numpy, undo it, the error the import raises)
BREAKAGES = {
    "shrunk dtype": ("numpy.dtype = Small", "numpy.dtype = real", "ValueError"),
    "ufunc no type": ("numpy.ufunc = 3", "numpy.ufunc = real", "TypeError"),
    "grown ufunc": ("numpy.ufunc = Big; warnings.simplefilter('error')",
                    "numpy.ufunc = real; warnings.resetwarnings()", "RuntimeWarning"),
    "no numpy": ("sys.modules['numpy'] = None", "sys.modules['numpy'] = numpy", "ImportError"),
    "no numpy.double": ("del numpy.double", "numpy.double = numpy.float64", "AttributeError"),
}


@pytest.mark.parametrize("breakage", list(BREAKAGES))
def test_failed_start_up_can_be_retried(tmp_path, breakage):
    spoil, mend, error = BREAKAGES[breakage]
    run_child(tmp_path, """
        for attempt in range(2):
            SPOIL
            try:
                import orbitra.body
            except ERROR:
                pass
            else:
                raise AssertionError("import succeeded")
            MEND
            assert "orbitra.body" not in sys.modules
        import orbitra.body as ob
        assert sys.modules["orbitra.body"] is ob
        assert ob.np is numpy and ob.__test__ == {} and ob.__doc__.startswith("\\nBasic Body")
        assert ob.dtype.itemsize == 57 and ob.dtype.names == ("r", "v", "probe", "m")
        assert ob.Body(2.0, probe=-3) == {"r": [0.0] * 3, "v": [0.0] * 3, "probe": -3, "m": 2.0}
        assert ob.BodyArray([ob.Body(m=1.5)])["m"].tolist() == [1.5]
        """.replace("SPOIL", spoil).replace("MEND", mend).replace("ERROR", error),
        "ufunc" if "ufunc" in breakage else "dtype")


# Another start-up while a module made by an earlier one lives: its functions keep reading
# their own module's globals, whatever the later start-up does and however it ends.
LATER_PRELUDE = """
class Stand:
    empty = staticmethod(lambda n, dtype: ["stand-in", n])
def at_start_up(act):  # act(frame, event) at the events of PyInit_body
    sys.setprofile(lambda frame, event, arg: frame.f_code.co_name.startswith("PyMODINIT")
                   and act(frame, event))
"""
LATER_START_UPS = {
    # A failed start-up's BodyArray, kept by a key's comparison, looks up "np" past a key
    # whose comparison imports the module anew.
    "after a failure": ("""
        import gc
        kept, box = [], {}
        class Grab(str):  # compared when "__test__" is stored: keeps BodyArray, fails the store
            __hash__ = lambda self: hash("__test__")
            def __eq__(self, other):
                kept.append(box["globals"]["BodyArray"])
                raise ValueError("start-up stopped")
        class Reimport(str):
            __hash__ = lambda self: hash("np")
            def __eq__(self, other):
                if not box.get("again"):
                    box["again"] = True
                    import orbitra.body
                    gc.collect()
        at_start_up(lambda frame, event: event == "call" and frame.f_globals.update(
            {Grab("grab"): None}) or box.setdefault("globals", frame.f_globals))
        try:
            import orbitra.body
        except ValueError as e:
            print(e)
        sys.setprofile(None)
        g = box.pop("globals")
        del g["np"]
        g.update({Reimport("re"): None, "np": Stand})
        del g
        print(kept[0]([]), box["again"], sys.modules["orbitra.body"].BodyArray([{}] * 0).size)
        """, "start-up stopped\n['stand-in', 0] True 0\n"),
    # The package folder on sys.path, as for a script run from it: the file loads again,
    # failing (a profile hook raises) and then succeeding.
    "second name": ("""
        import os
        import orbitra.body as ob
        sys.path.insert(0, os.path.dirname(ob.__file__))
        at_start_up(lambda frame, event: 1 / 0)
        try:
            import body
        except ZeroDivisionError:
            sys.setprofile(None)
        print(ob.BodyArray([]).dtype == ob.dtype, "body" in sys.modules)
        import body
        ob.np = Stand
        print(body is not ob, body.dtype == ob.dtype, ob.BodyArray([]), len(body.BodyArray([])))
        """, "True False\nTrue True ['stand-in', 0] 0\n"),
    # While start-up runs the module shows a ModuleSpec, as a module being imported does; one
    # that Python code puts there meanwhile stays.
    "__spec__ during start-up": ("""
        import importlib.util
        seen = []
        def act(frame, event):
            if event == "call":
                seen.extend([repr(sys.modules["orbitra.body"]), importlib.util.find_spec(
                    "orbitra.body").name, frame.f_globals["__spec__"]._initializing])
                frame.f_globals["__spec__"] = "set meanwhile"
            else:
                seen.append(frame.f_globals["__spec__"])
        at_start_up(act)
        import orbitra.body
        print(*seen)
        """, "<module 'orbitra.body'> orbitra.body True set meanwhile\n"),
    # From 3.13 the main interpreter runs start-up for a sub-interpreter's first import,
    # with its own NumPy, and its sys.modules keeps no orbitra.body of that start-up. Up to
    # 3.12 the sub-interpreter runs it, and whether NumPy loads there is NumPy's to decide.
    "sub-interpreter first": ("""
        import _testcapi
        ran = _testcapi.run_in_subinterp(
            "import orbitra.body as ob; ob.BodyArray([ob.Body(2.0)])['m'].item() == 2.0 or 1/0")
        print(ran == 0 or sys.version_info < (3, 13), "orbitra.body" in sys.modules, end=" ")
        import orbitra.body as ob
        print(ob.BodyArray([ob.Body(1.0)])["m"].item())
        """, "True False 1.0\n"),
}


@pytest.mark.parametrize("case", list(LATER_START_UPS))
def test_later_start_ups_leave_earlier_modules_whole(tmp_path, case):
    if "sub-interpreter" in case:
        pytest.importorskip("_testcapi")
    code, expected = LATER_START_UPS[case]
    out = run_child(tmp_path, LATER_PRELUDE + textwrap.dedent(code), "dtype", "-X", "dev").stdout
    assert out == expected


# numpy as start-up may find it: the version decides only whether NumPy 1.x's wrapping of
# an out-of-range probe is refused, which gives NumPy 2's own error either way.
@pytest.mark.parametrize("numpy_as_found", [
    "numpy.__version__ = '\\udcff'", "del numpy.__version__",
    "import types; sys.modules['numpy'] = types.SimpleNamespace(**vars(numpy))",
])
def test_numpy_version_as_found(tmp_path, numpy_as_found):
    out = run_child(tmp_path, numpy_as_found + """
import orbitra.body as ob
try:
    ob.BodyArray([dict(ob.Body(), probe=300)])
except OverflowError as e:
    print(e, ob.BodyArray([dict(ob.Body(), probe=-128)])["probe"].tolist())
""").stdout
    assert out == "Python integer 300 out of bounds for int8 [-128]\n"
