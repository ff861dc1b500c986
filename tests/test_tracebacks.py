"""Traceback entries that orbitra.body adds for failures inside its native code."""
import io
import json
import re
import subprocess
import sys
import textwrap
import traceback

from decimal import Decimal

import numpy as np
import pytest

import orbitra.body as ob

SOURCE = "orbitra\\body"
# "<qualified name> (<implementation file>:<internal line>)"
ENTRY_NAME = re.compile(r"^(?P<func>.+) \((?P<file>\w+\.cpp):(?P<line>\d+)\)$")


def module_entries(exc):
    """(func, filename, lineno, place) of each entry the module added, outermost first."""
    out = []
    for entry in traceback.extract_tb(exc.__traceback__):
        m = ENTRY_NAME.match(entry.name)
        if m:
            out.append((m.group("func"), entry.filename, entry.lineno,
                        (m.group("file"), int(m.group("line")))))
    return out


def module_tb(exc):
    """The traceback object of the module's (single) entry."""
    tb = exc.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename != SOURCE:
        tb = tb.tb_next
    assert tb is not None, "no entry from orbitra\\body"
    return tb


def fail(call):
    try:
        call()
    except Exception as e:
        return e
    raise AssertionError("no exception")


def good():
    return ob.Body(m=1.0, x=2.0, y=3.0, z=4.0, vx=5.0, vy=6.0, vz=7.0, probe=1)


def without(key):
    d = good()
    del d[key]
    return d


class NoRows(np.ndarray):
    __getitem__ = None  # fails in C, so that the module's entry is the innermost one


class OneShotNumpy:
    """Stands in for np in one BodyArray call: its empty() puts numpy back."""
    def empty(self, n, dtype):
        ob.np = np
        return np.empty(n, dtype).view(NoRows)


def rowless():
    ob.np = OneShotNumpy()


class RecursionByHand:
    def __float__(self):
        raise RecursionError("far from any limit")


# Compared in C (Decimal is a heap type from 3.13), or by object's ==, as a dict compares.
ORDERED_KEY = type("Ordered", (), {"__lt__": lambda self, other: True})()


def with_module_key(key):
    # A key whose comparison runs no Python code leaves the entry to be made.
    def call():
        ob.__dict__[key] = None
        try:
            return ob.Body(m=RecursionByHand())
        finally:
            del ob.__dict__[key]
    return call


# site -> [(call, exception type, qualified name, line)]; cases of one site fail at
# the same statement of the module, cases of different sites at different ones.
SITES = {
    "body positional count": [(lambda: ob.Body(*range(9)), TypeError, 25),
                              (lambda: ob.Body(*range(10), m=1.0), TypeError, 25)],
    "body keywords": [(lambda: ob.Body(w=1.0), TypeError, 25),
                      (lambda: ob.Body(1.0, m=2.0), TypeError, 25),
                      (lambda: ob.Body(**{"m": 1.0, type("Key", (str,), {})("w"): 1.0}), TypeError, 25)],
    "body m": [(lambda: ob.Body(m="a"), TypeError, 25), (lambda: ob.Body(m=None), TypeError, 25),
               (lambda: ob.Body(m=RecursionByHand()), RecursionError, 25),
               (with_module_key(1), RecursionError, 25),
               (with_module_key(type("Name", (str,), {})("name")), RecursionError, 25),
               (with_module_key(Decimal("0.5")), RecursionError, 25),
               (with_module_key(ORDERED_KEY), RecursionError, 25)],
    "body x": [(lambda: ob.Body(x="a"), TypeError, 25)],
    "body y": [(lambda: ob.Body(y="a"), TypeError, 25)],
    "body z": [(lambda: ob.Body(z=[]), TypeError, 25)],
    "body vx": [(lambda: ob.Body(vx="a"), TypeError, 26)],
    "body vy": [(lambda: ob.Body(vy="a"), TypeError, 26)],
    "body vz": [(lambda: ob.Body(0, 0, 0, 0, 0, 0, "a"), TypeError, 26)],
    "body probe": [(lambda: ob.Body(probe="1"), TypeError, 26),
                   (lambda: ob.Body(probe=128), OverflowError, 26),
                   (lambda: ob.Body(probe=-129), OverflowError, 26)],
    "array list": [(lambda: ob.BodyArray(5), TypeError, 37),
                   (lambda: ob.BodyArray(None), TypeError, 37)],
    "array get m": [(lambda: ob.BodyArray([{}]), KeyError, 40),
                    (lambda: ob.BodyArray([good(), 1]), TypeError, 40)],
    "array row m": [(lambda: rowless() or ob.BodyArray([good()]), TypeError, 40)],
    "array get r": [(lambda: ob.BodyArray([without("r")]), KeyError, 41)],
    "array get v": [(lambda: ob.BodyArray([without("v")]), KeyError, 42)],
    "array get probe": [(lambda: ob.BodyArray([without("probe")]), KeyError, 43)],
    "array set r": [(lambda: ob.BodyArray([dict(good(), r=[1.0, 2.0])]), ValueError, 41)],
}
CASES = [pytest.param(site, *case, id="%s-%d" % (site, k))
         for site, cases in SITES.items() for k, case in enumerate(cases)]


@pytest.mark.parametrize("site, call, error, line", CASES)
def test_entry_names_file_line_and_place(site, call, error, line):
    exc = fail(call)
    assert type(exc) is error
    func = "orbitra.body.Body" if site.startswith("body") else "orbitra.body.BodyArray"
    [(name, filename, lineno, (impl, internal))] = module_entries(exc)
    assert (name, filename, lineno) == (func, SOURCE, line)
    assert internal > 0
    # The module's entry is the innermost one but for an argument's own raising method, and
    # its frame's caller is the calling frame.
    last = [f for f in traceback.extract_tb(exc.__traceback__) if f.name != "__float__"][-1]
    assert (last.filename, last.lineno) == (SOURCE, line)
    assert module_tb(exc).tb_frame.f_back.f_code is call.__code__


def test_each_site_has_its_own_place():
    places = {}
    for site, cases in SITES.items():
        # Twice over, so that a cached entry is seen as well as a new one.
        found = {module_entries(fail(case[0]))[0][3] for case in cases * 2}
        assert len(found) == 1, (site, found)
        places[site] = found.pop()
    assert len(set(places.values())) == len(places), places


@pytest.mark.parametrize("site", ["body m", "body probe", "array list", "array get probe"])
def test_failures_of_one_site_share_one_code_object(site):
    # Keep the exceptions (and so their frames) alive while comparing.
    excs = [fail(case[0]) for case in SITES[site] * 2]
    codes = [module_tb(e).tb_frame.f_code for e in excs]
    assert all(code is codes[0] for code in codes)
    code = codes[0]
    name, filename, lineno, place = module_entries(excs[0])[0]
    assert code.co_name == "%s (%s:%d)" % ((name,) + place)
    assert (code.co_filename, code.co_firstlineno) == (filename, lineno)
    assert all(module_tb(e).tb_lineno == lineno for e in excs)


class ReleasedWithAFailure(dict):
    def __del__(self):
        try:
            ob.Body(m="a")
        except TypeError:
            pass


def test_entry_is_the_failure_the_operation_recorded():
    # The item goes when BodyArray releases its list, after its own failure: its finaliser
    # makes Body fail before BodyArray adds its entry.
    expected = module_entries(fail(lambda: ob.BodyArray([without("probe")])))
    fail(lambda: ob.Body(m="a"))
    item = (ReleasedWithAFailure(without("probe")) for _ in range(1))
    got = module_entries(fail(lambda: ob.BodyArray(item)))
    assert got == expected and got[0][:3] == ("orbitra.body.BodyArray", SOURCE, 43)


@pytest.mark.parametrize("call, line, func", [
    (lambda: ob.Body(m="heavy"), 25, "orbitra.body.Body"),
    (lambda: ob.Body(vy="fast"), 26, "orbitra.body.Body"),
    (lambda: ob.BodyArray(3.5), 37, "orbitra.body.BodyArray"),
])
def test_printed_tracebacks(call, line, func):
    expected = 'File "orbitra\\body", line %d, in %s (' % (line, func)
    exc = fail(call)
    assert expected in "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    assert expected in "".join(traceback.TracebackException.from_exception(exc).format())
    out = io.StringIO()
    traceback.print_exception(type(exc), exc, exc.__traceback__, file=out)
    assert expected in out.getvalue()
    try:
        call()
    except Exception:
        assert expected in traceback.format_exc()


def run_python(tmp_path, code, *flags):
    # In a temporary folder: the child imports the installed package, whatever the working folder holds.
    res = subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], cwd=str(tmp_path),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=120)
    return res


def test_interpreter_prints_uncaught_entry(tmp_path):
    res = run_python(tmp_path, """
        import orbitra.body
        orbitra.body.Body(probe=1000)
        """)
    assert res.returncode == 1
    assert 'File "orbitra\\body", line 26, in orbitra.body.Body (' in res.stderr
    # From CPython 3.11 a note under the message names the argument and what it takes.
    note = "\nwhile converting Body argument 'probe' (an integer from -128 to 127)"
    assert res.stderr.rstrip().endswith("OverflowError: value too large to convert to char"
                                        + (note if sys.version_info >= (3, 11) else ""))


@pytest.mark.parametrize("name, value, error, line", [
    ("dtype", "Small", "ValueError", 155),
    ("flatiter", "Small", "ValueError", 168),
    ("broadcast", "Small", "ValueError", 172),
    ("ndarray", "Small", "ValueError", 181),
    ("ufunc", "Small", "ValueError", 861),
    ("ufunc", "5", "TypeError", 861),
])
def test_start_up_type_check_entry(tmp_path, name, value, error, line):
    res = run_python(tmp_path, """
        import json, traceback, numpy
        class Small:
            pass
        numpy.%s = %s
        try:
            import orbitra.body
        except Exception as e:
            tb = traceback.extract_tb(e.__traceback__)
            print(json.dumps([type(e).__name__, [[f.filename, f.lineno, f.name] for f in tb]]))
        """ % (name, value))
    assert res.returncode == 0, res.stderr
    exc_type, entries = json.loads(res.stdout)
    assert exc_type == error
    filename, lineno, entry_name = entries[-1]
    assert (filename, lineno) == ("__init__", line)
    m = ENTRY_NAME.match(entry_name)
    assert m and m.group("func") == "init orbitra.body", entry_name


@pytest.mark.parametrize("flag", ["-Wdefault", "-Werror"])
def test_start_up_failure_is_shown_without_warnings(tmp_path, flag):
    # 3.15's linecache warns about a frame whose globals carry a __spec__ of None, as a
    # module's do until its start-up has succeeded.
    res = run_python(tmp_path, """
        import traceback, numpy
        numpy.ufunc = 5
        try:
            import orbitra.body
        except TypeError as e:
            tb = e.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            print(traceback.extract_tb(e.__traceback__)[-1].name)
            print(sorted((k, v) for k, v in tb.tb_frame.f_globals.items() if k in ("__spec__", "__loader__")))
        import orbitra.body
        """, flag)
    name, placeholders = res.stdout.splitlines()
    assert ENTRY_NAME.match(name).group("func") == "init orbitra.body"
    # Only 3.15's linecache needs the __spec__ of None gone.
    kept = [("__loader__", None)] + [("__spec__", None)] * (sys.version_info < (3, 15))
    assert placeholders == repr(kept)
    assert res.returncode == 1
    lines = res.stderr.splitlines()
    assert lines[0] == "Traceback (most recent call last):", res.stderr
    assert lines[-2].startswith('  File "__init__", line 861, in init orbitra.body (')
    assert lines[-1] == "TypeError: numpy.ufunc is not a type object"
