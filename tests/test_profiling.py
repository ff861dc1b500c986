"""Call and return events that orbitra.body reports to a profiler installed with sys.setprofile."""
import gc
import importlib
import itertools
import json
import pathlib
import re
import subprocess
import sys
import textwrap
import threading
import traceback
import weakref
from decimal import Decimal

import pytest

import orbitra.body as ob

SOURCE = "orbitra\\body"
CONV = "__Pyx_carray_to_py_double"
BODY_EVENTS = [("call", "Body (wrapper)"), ("call", "Body"), ("return", "Body"),
               ("call", CONV), ("return", CONV), ("call", CONV), ("return", CONV),
               ("return", "Body (wrapper)")]
ENTRY_NAME = re.compile(r"^(.+) \(\w+\.cpp:\d+\)$")


class HookError(Exception):
    pass


class Recorder:
    """Profile function keeping (event, code, f_lineno, arg); `action(event, name)` may act or raise."""
    def __init__(self, action=None):
        self.events, self.frames = [], []
        self.action = action

    def __call__(self, frame, event, arg):
        self.events.append((event, frame.f_code, frame.f_lineno, arg))
        if event in ("call", "return") and frame.f_code.co_filename in (SOURCE, "stringsource"):
            self.frames.append(frame)
        if self.action is not None:
            self.action(event, frame.f_code.co_name)

    def inside(self, func):
        """Events between the interpreter's own c_call and c_return/c_exception of func."""
        start = next(k for k, e in enumerate(self.events) if e[0] == "c_call" and e[3] is func)
        end = next(k for k, e in enumerate(self.events)
                   if k > start and e[0] in ("c_return", "c_exception") and e[3] is func)
        return self.events[start + 1:end]

    def names(self, func):
        return [(e[0], e[1].co_name) for e in self.inside(func)]


def raise_on(kind, name, error=HookError):
    def action(event, code_name):
        if (event, code_name) == (kind, name):
            raise error(name)
    return action


def profiled(hook, func, *args, **kwargs):
    # With the collector idle, so that finalisers and gc callbacks of other tests' garbage
    # add no events of their own.
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    sys.setprofile(hook)
    try:
        return func(*args, **kwargs)
    finally:
        sys.setprofile(None)
        if enabled:
            gc.enable()


def test_body_events():
    rec = Recorder()
    result = profiled(rec, ob.Body, 1.0, x=2.0, probe=-1)
    assert result == ob.Body(1.0, x=2.0, probe=-1)
    events = rec.inside(ob.Body)
    assert [(e[0], e[1].co_name) for e in events] == BODY_EVENTS
    for event, code, lineno, arg in events:
        filename, line = ("stringsource", 112) if code.co_name == CONV else (SOURCE, 25)
        assert (code.co_filename, code.co_firstlineno, lineno) == (filename, line, line)
    args = [e[3] for e in events]
    assert args[0] is None and args[2] is None and args[1] is None
    assert args[4] is result["r"] and args[6] is result["v"] and args[7] is result
    assert all(frame.f_globals is vars(ob) for frame in rec.frames)
    # The events inside "Body (wrapper)" name its frame as their caller, so they nest.
    assert rec.frames[0].f_back.f_code is profiled.__code__
    assert [frame.f_back is rec.frames[0] for frame in rec.frames[1:-1]] == [True] * 6


def test_body_array_events():
    bodies = [ob.Body(m=1.0), ob.Body(probe=1)]
    rec = Recorder()
    result = profiled(rec, ob.BodyArray, bodies)
    events = rec.inside(ob.BodyArray)
    assert [(e[0], e[1].co_name) for e in events] == [("call", "BodyArray"), ("return", "BodyArray")]
    (_, code, lineno, arg), (_, code2, _, ret) = events
    assert (arg, ret, code2) == (None, result, code)
    assert (code.co_firstlineno, lineno, code.co_argcount) == (35, 35, 1)
    assert code.co_varnames == ("bodies", "body_array", "i", "b")
    # One absolute path in every build, not the folder this one was built in.
    path = pathlib.PurePath(code.co_filename)
    assert path.is_absolute() and path.parts[-3:] == ("src", "orbitra", "body.cpp")
    assert not code.co_filename.startswith(str(pathlib.Path(__file__).resolve().parents[1]))


def test_event_under_python_code_names_that_code_as_caller():
    # Body called from an item's __getitem__ inside BodyArray: between the two events runs
    # Python code, which is Body's caller, not BodyArray's event.
    class Item(dict):
        def __getitem__(self, key):
            if key == "m":
                ob.Body()
            return dict.__getitem__(self, key)
    calls = []
    profiled(lambda frame, event, arg: calls.append((event, frame)), ob.BodyArray, [Item(ob.Body())])
    [wrapper] = [f for e, f in calls if (e, f.f_code.co_name) == ("call", "Body (wrapper)")]
    assert wrapper.f_back.f_code is Item.__getitem__.__code__


def outcome(call, hook):
    try:
        return "returned", list(profiled(hook, call).items())
    except HookError as error:
        return "raised", str(error), [entry.name for entry in traceback.extract_tb(error.__traceback__)[1:]]


# A call without arguments skips binding and conversion; it must be the call that passes
# every default explicitly in all that a caller or profiler sees.
@pytest.mark.parametrize("call", [lambda: ob.Body(), lambda: ob.Body(**{}), lambda: ob.Body(*[], **{})],
                         ids=["bare", "empty keywords", "both empty"])
@pytest.mark.parametrize("failing", [None, ("call", "Body (wrapper)"), ("call", CONV), ("return", "Body")])
def test_call_without_arguments_as_with_explicit_defaults(call, failing):
    def recorded(body_call):
        rec = Recorder(failing and raise_on(*failing))
        result = outcome(body_call, rec)
        start = next(k for k, e in enumerate(rec.events) if e[3] is ob.Body)
        # A hook that raises is removed, so the events end there.
        events = list(itertools.takewhile(lambda e: e[3] is not ob.Body, rec.events[start + 1:]))
        return result, [(e[0], e[1].co_name, e[2], e[3] is None) for e in events]
    assert recorded(call) == recorded(lambda: ob.Body(0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0))


def test_failures_report_return_with_none():
    rec = Recorder()
    with pytest.raises(TypeError):
        profiled(rec, ob.BodyArray, 5)
    assert [(e[0], e[1].co_name, e[3]) for e in rec.inside(ob.BodyArray)] == [
        ("call", "BodyArray", None), ("return", "BodyArray", None)]
    # A failing argument layer runs neither body layer nor builder.
    rec = Recorder()
    with pytest.raises(TypeError):
        profiled(rec, ob.Body, m="heavy")
    assert rec.inside(ob.Body) == []


def test_code_objects_are_made_once():
    recs = [Recorder(), Recorder()]
    for rec in recs:
        profiled(rec, ob.Body)
        profiled(rec, ob.BodyArray, [])
    first, second = ([e[1] for e in rec.inside(ob.Body) + rec.inside(ob.BodyArray)] for rec in recs)
    assert all(a is b for a, b in zip(first, second))
    assert len({id(c) for c in first}) == 4


@pytest.mark.parametrize("name, call, entries", [
    ("Body (wrapper)", lambda: ob.Body(m=1.0), [("orbitra.body.Body", SOURCE, 25)]),
    (CONV, lambda: ob.Body(m=1.0), [("orbitra.body.Body", SOURCE, 25),
                                    ("carray.to_py." + CONV, "stringsource", 112)]),
    ("BodyArray", lambda: ob.BodyArray([ob.Body()]), [("orbitra.body.BodyArray", SOURCE, 35)]),
])
def test_hook_failing_call_event_fails_the_operation(name, call, entries):
    rec = Recorder(raise_on("call", name))
    with pytest.raises(HookError) as info:
        profiled(rec, call)
    assert not [e for e in rec.events if e[0] == "return" and e[1].co_name == name]
    found = [(m.group(1), f.filename, f.lineno)
             for f in traceback.extract_tb(info.value.__traceback__)
             for m in [ENTRY_NAME.match(f.name)] if m]
    assert found == entries


@pytest.mark.parametrize("error", [HookError, RecursionError])  # raised far from any limit
@pytest.mark.parametrize("key", [None, Decimal("0.5"), type("Ordered", (), {"__lt__": min})()])
def test_hook_failing_builder_call_event_is_unraisable(monkeypatch, error, key):
    if key is not None:  # a module-dict key whose comparison runs no Python code
        monkeypatch.setitem(ob.__dict__, key, None)
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    rec = Recorder(raise_on("call", "Body", error))
    result = profiled(rec, ob.Body, 2.0, vz=-1.0, probe=3)
    assert [(u.exc_type, u.object) for u in seen] == [(error, "orbitra.body.Body")]
    assert result == ob.Body(2.0, vz=-1.0, probe=3)


@pytest.mark.parametrize("name", ["Body", CONV, "Body (wrapper)", "BodyArray"])
def test_hook_failing_return_event_changes_nothing(name):
    bodies = [ob.Body(m=1.0, probe=2), ob.Body(vx=3.0)]
    expected = (ob.Body(1.0, 2.0, vz=3.0, probe=4), ob.BodyArray(bodies).tobytes())
    rec = Recorder(raise_on("return", name))
    assert profiled(rec, lambda: (ob.Body(1.0, 2.0, vz=3.0, probe=4),
                                  ob.BodyArray(bodies).tobytes())) == expected
    rec = Recorder(raise_on("return", name))
    with pytest.raises(KeyError) as info:
        profiled(rec, lambda: (ob.Body(), ob.BodyArray([{"m": 1.0}])))
    assert info.value.args == ("r",)
    assert traceback.extract_tb(info.value.__traceback__)[-1].lineno == 41


@pytest.mark.parametrize("successor", [None, lambda frame, event, arg: None], ids=["removed", "replaced"])
@pytest.mark.parametrize("kind", ["call", "return"])
@pytest.mark.parametrize("name", ["Body (wrapper)", "Body", CONV, "BodyArray"])
def test_hook_removing_itself(kind, name, successor):
    def action(event, code_name):
        if (event, code_name) == (kind, name):
            sys.setprofile(successor)
    rec = Recorder(action)
    result = profiled(rec, lambda: (ob.Body(m=2.0, probe=-2), ob.BodyArray([ob.Body(z=1.0)]).tobytes()))
    assert result == (ob.Body(m=2.0, probe=-2), ob.BodyArray([ob.Body(z=1.0)]).tobytes())
    assert (rec.events[-1][0], rec.events[-1][1].co_name) == (kind, name)
    assert sum(k * k for k in range(10)) == 285  # the interpreter runs on normally
    released = weakref.ref(rec)
    del rec
    gc.collect()  # the frames it kept name, as callers, frames that hold it
    assert released() is None


def test_hook_calling_the_module_sees_no_inner_events():
    inner = []

    def action(event, code_name):
        if event in ("call", "return"):
            inner.append((ob.Body(m=9.0), ob.BodyArray([ob.Body(x=1.0)]).tobytes()))
    rec = Recorder(action)
    assert profiled(rec, ob.Body, m=1.0) == ob.Body(m=1.0)
    assert rec.names(ob.Body) == BODY_EVENTS
    assert inner == [(ob.Body(m=9.0), ob.BodyArray([ob.Body(x=1.0)]).tobytes())] * 8


def test_trace_function_alone_sees_nothing():
    seen = []

    def tracer(frame, event, arg):
        code = frame.f_code
        if code.co_filename in (SOURCE, "stringsource") or code.co_name == "BodyArray":
            seen.append((event, code.co_name))
        return tracer
    old = sys.gettrace()
    sys.settrace(tracer)
    try:
        ob.BodyArray([ob.Body(m=1.0)])
    finally:
        sys.settrace(old)
    assert seen == []


def test_events_go_to_the_calling_threads_profiler():
    main = Recorder()
    results = []
    sys.setprofile(main)
    try:
        worker = threading.Thread(target=lambda: results.append(ob.BodyArray([ob.Body(m=3.0)])))
        worker.start()
        worker.join()
    finally:
        sys.setprofile(None)
    assert results[0]["m"].tolist() == [3.0]
    assert not [e for e in main.events if e[1].co_filename in (SOURCE, "stringsource")
                or e[1].co_name == "BodyArray"]


def run_python(tmp_path, code):
    # In a temporary folder: the child imports the installed package, whatever the working folder holds.
    res = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=str(tmp_path),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=300)
    assert res.returncode == 0, res.stderr
    return json.loads(res.stdout)


INIT = "PyMODINIT_FUNC PyInit_body(void)"


def test_start_up_events(tmp_path):
    events = run_python(tmp_path, """
        import json, sys
        events = []
        def hook(frame, event, arg):
            if event in ("call", "return"):
                c = frame.f_code
                events.append([event, c.co_name, c.co_filename, c.co_firstlineno, frame.f_lineno,
                               arg is None])
        sys.setprofile(hook)
        import orbitra.body
        sys.setprofile(None)
        print(json.dumps(events))
        """)
    init = [k for k, e in enumerate(events) if e[1] == INIT]
    assert [events[k] for k in init] == [["call", INIT, SOURCE, 1, 1, True],
                                        ["return", INIT, SOURCE, 1, 1, True]]
    assert any("numpy" in e[2] for e in events[:init[0]])


def test_start_up_fails_when_hook_fails(tmp_path):
    found = run_python(tmp_path, """
        import json, sys, traceback
        class HookError(Exception):
            pass
        def hook(frame, event, arg):
            if (event, frame.f_code.co_name) == ("call", "%s"):
                raise HookError
        sys.setprofile(hook)
        try:
            import orbitra.body
        except HookError as e:
            print(json.dumps([[f.filename, f.lineno, f.name]
                              for f in traceback.extract_tb(e.__traceback__)]))
        """ % INIT)
    entries = [(m.group(1), f, line) for f, line, name in found for m in [ENTRY_NAME.match(name)] if m]
    assert entries == [("init orbitra.body", SOURCE, 1)]


def test_profilers_switched_on_and_off(tmp_path):
    assert run_python(tmp_path, """
        import json, sys
        import orbitra.body as ob
        seen = [0]
        def hook(frame, event, arg):
            seen[0] += 1
            if seen[0] % 7 == 0:
                sys.setprofile(None)
        def fib(n):
            return n if n < 2 else fib(n - 1) + fib(n - 2)
        def deep(n):
            return ob.Body(m=n) if n == 0 else deep(n - 1)
        def gen(n):
            for k in range(n):
                yield ob.Body(m=k)
        body = ob.Body(1.0, 2.0, probe=3)
        array = ob.BodyArray([body] * 3).tobytes()
        for round_ in range(200):
            for k in range(20):
                if (round_ + k) % 3 == 0:
                    sys.setprofile(None if sys.getprofile() else hook)
                assert ob.Body(1.0, 2.0, probe=3) == body
                assert fib(6) == 8 and deep(30) == ob.Body()
                assert ob.BodyArray(gen(3))["m"].tolist() == [0.0, 1.0, 2.0]
                assert ob.BodyArray([body] * 3).tobytes() == array
                try:
                    ob.BodyArray([body, {}])
                except KeyError:
                    pass
        sys.setprofile(None)
        print(json.dumps(seen[0] > 1000))
        """) is True


@pytest.mark.filterwarnings("ignore:The profile module is deprecated:DeprecationWarning")
@pytest.mark.parametrize("profiler", ["profile", "cProfile"])
def test_profiler_statistics_are_complete(profiler):
    if profiler == "cProfile" and sys.version_info >= (3, 12):
        pytest.skip("cProfile follows sys.monitoring from 3.12 and sees no native profile events")
    prof = importlib.import_module(profiler).Profile()

    def helper(k):
        return ob.Body(m=k, probe=k)

    def work():
        for k in range(3):
            helper(k)
            ob.BodyArray([{"m": 1.0, "r": [0.0] * 3, "v": (1.0, 2.0, 3.0), "probe": k}])
        return sys.getprofile()
    assert prof.runcall(work) is not None  # still installed: no event upset it
    prof.create_stats()
    calls = {name: s[1] for (filename, _, name), s in prof.stats.items() if filename not in ("", "~")}
    assert [calls.get(name) for name in ("work", "helper", "Body (wrapper)", "Body", CONV,
                                         "BodyArray")] == [1, 3, 3, 3, 6, 3]


def test_event_nesting_is_per_thread():
    # A worker's Body waits in its builder's call event while the main thread's BodyArray,
    # which let it in, ends; the worker's conversions still nest in the worker's own Body.
    waiting, main_done, frames = threading.Event(), threading.Event(), []

    def worker_hook(frame, event, arg):
        frames.append(frame)
        if (event, frame.f_code.co_name) == ("call", "Body"):
            waiting.set()
            main_done.wait(10)
    worker = threading.Thread(target=profiled, args=(worker_hook, ob.Body))

    class Item(dict):
        def __getitem__(self, key):
            if key == "m":
                worker.start()
                waiting.wait(10)
            return dict.__getitem__(self, key)
    profiled(Recorder(), ob.BodyArray, [Item(ob.Body())])
    main_done.set()
    worker.join()
    wrapper = next(f for f in frames if f.f_code.co_name == "Body (wrapper)")
    assert [f.f_back is wrapper for f in frames if f.f_code.co_name == CONV] == [True] * 4


@pytest.mark.parametrize("name", ["Body (wrapper)", "Body", CONV, "BodyArray"])
def test_trace_function_outlives_a_hook_removing_itself(name):
    lines = []

    def later():
        return len(lines)

    def tracer(frame, event, arg):
        if frame.f_code is later.__code__ and event == "line":
            lines.append(frame.f_lineno)
        return tracer
    old = sys.gettrace()
    sys.settrace(tracer)
    sys.setprofile(Recorder(lambda event, code_name: (event, code_name) == ("call", name)
                            and sys.setprofile(None)))
    try:
        ob.Body(), ob.BodyArray([ob.Body()])
        later()  # no sys.setprofile since the hook went: that would set the flag right again
    finally:
        sys.setprofile(None)
        sys.settrace(old)
    assert lines == [later.__code__.co_firstlineno + 1]


# Code run while the call event's frame is made removes the hook; the call must go on as
# if no hook had been installed. Child process: without the check this is a segfault.
HOOK_REMOVERS = {
    "finaliser": """
        import gc
        class Remover:
            def __init__(self):
                self.cycle = self
            def __del__(self):
                sys.setprofile(None)
        def prepare():
            gc.disable()
            gc.collect()
            Remover()
            gc.set_threshold(1)  # the next allocation of a tracked object collects
            gc.enable()
        """,
    "module-dict key": """
        class Key:
            def __hash__(self):
                return hash("__builtins__")
            def __eq__(self, other):
                sys.setprofile(None)
                return False
        module_builtins = vars(ob).pop("__builtins__")
        vars(ob)[Key()] = None  # met first by a lookup of __builtins__
        vars(ob)["__builtins__"] = module_builtins
        prepare = lambda: None
        """,
}


@pytest.mark.parametrize("remover", sorted(HOOK_REMOVERS))
def test_hook_removed_while_the_call_event_is_made(tmp_path, remover):
    if remover == "finaliser" and sys.version_info >= (3, 12):
        pytest.skip("from 3.12 the garbage collector runs only between bytecodes")
    outcomes = run_python(tmp_path, """
        import json, sys
        import orbitra.body as ob
        """ + HOOK_REMOVERS[remover] + """
        def check(operation, *args):
            events = []
            def hook(frame, event, arg):
                if event == "c_call":
                    events.append(arg.__name__)
                    if arg is operation:
                        prepare()
                elif frame.f_code.co_name in ("Body (wrapper)", "BodyArray"):
                    events.append(event)
            sys.setprofile(hook)
            result = operation(*args)
            sys.setprofile(None)
            return [events, str(result)]
        print(json.dumps([check(ob.Body), check(ob.BodyArray, [ob.Body(m=1.0)])]))
        """)
    assert outcomes == [[["Body", "setprofile"], str(ob.Body())],
                        [["BodyArray", "setprofile"], str(ob.BodyArray([ob.Body(m=1.0)]))]]
