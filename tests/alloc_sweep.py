"""Child program of test_allocation_failure.py: runs calls of orbitra.body while the
interpreter's allocations fail and prints a JSON summary of the outcomes.

    python alloc_sweep.py calls [NAME-PART]   every call case, in one process
    python alloc_sweep.py import N [single]   one start-up, then an import
    python alloc_sweep.py again               start-ups after the first, each allocation failing
    python alloc_sweep.py lines               the lines named by single failures
"""
import gc
import json
import os
import sys

import _testcapi
import numpy  # imported before any window: the sweeps aim at orbitra.body, not NumPy
import orbitra  # the package, likewise

CAP = 2000
SOURCE = "orbitra\\body"


def window(start, stop, call, args, kwargs, box, profiler):
    """Calls `call` while allocations start..stop-1 fail (all from start on if stop is 0)
    and stores its result or exception in `box`. Nothing else here allocates: the function
    is short, so that the instruction offsets 3.12's profile events box as ints stay small
    cached ones, and the profiler's first event, before the window, makes the frame object."""
    if profiler:
        sys.setprofile(profiler)
    try:
        _testcapi.set_nomemory(start, stop)
        box[0] = call(*args, **kwargs)
    except BaseException as exc:
        box[1] = exc
    # A failed profile event fails the call it reports; up to 3.11 the profiler is then
    # removed. Retried inline: another call could fail the same way.
    attempts = 0
    while attempts < 100:
        attempts += 1
        try:
            _testcapi.remove_mem_hooks()
            break
        except BaseException:
            pass
    sys.setprofile(None)


def quiet_profiler(frame, event, arg):
    """Allocates nothing, so that the window fails the module's allocations, not its own."""


def module_lines(error):
    tb, lines = error.__traceback__, []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename == SOURCE:
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    return lines


def callee(error):
    """The name of the Python function the module's entry goes on into, if any."""
    tb = error.__traceback__
    while tb is not None and tb.tb_frame.f_code.co_filename != SOURCE:
        tb = tb.tb_next
    tb = tb and tb.tb_next
    return tb and tb.tb_frame.f_code.co_name


def judge(result, error, expected, order, reached):
    """'done', 'memory', 'partial' (the expected error without the module's traceback
    entry, which it may drop when it cannot make it) or a fault's description.

    A MemoryError's module line must name the statement that was running: the lines of
    `order`, groups of lines in the order the call runs them, never go back within one pass
    over n; `reached` holds the group reached so far. One raised in a Python function
    that the module called must name the line that calls it."""
    if isinstance(error, MemoryError):
        lines = module_lines(error)
        if not lines:  # the entry itself could not be made
            return "memory"
        groups = [k for k, group in enumerate(order) if lines[0] in group]
        caller_line = CALLER_LINES.get(callee(error), lines[0])
        if len(lines) > 1 or not groups or groups[0] < reached[0] or lines[0] != caller_line:
            return "fault: MemoryError at module lines %s (into %s) after group %d of %s" % (
                lines, callee(error), reached[0], order)
        reached[0] = groups[0]
        return "memory"
    if isinstance(expected, tuple):  # (exception type, module source line)
        if type(error) is expected[0]:
            return "done" if module_lines(error) == [expected[1]] else "partial"
        return "fault: %r (module lines %s)" % (error, error and module_lines(error))
    if error is not None:
        return "fault: %r (module lines %s)" % (error, module_lines(error))
    same = (result.dtype == expected.dtype and result.tobytes() == expected.tobytes()
            if isinstance(expected, numpy.ndarray) else result == expected)
    return "done" if same else "fault: wrong result %r" % (result,)


def sweep(name, make, call, expected, order, profiler=None):
    """Fails allocations n, n+1, ... for n = 0, 1, ... until the call succeeds; then each
    single allocation n up to twice that far, which also takes the paths where a failure
    is cleared or reported as ignored and the call goes on."""
    counts, faults = {}, []
    gc.collect()
    blocks = sys.getallocatedblocks()
    total, n = CAP, 0
    reached = [0]
    while n < total:
        single = total < CAP
        os.write(2, b"%s n=%d%s\n" % (name.encode(), n, b" single" * single))  # survives a crash
        args, kwargs = make()
        box = [None, None]
        window(n, n + 1 if single else 0, call, args, kwargs, box, profiler)
        # The traceback holds the window's frame, whose locals hold the box: emptied, the
        # box lets the exception go at once. Every MemoryError kept alive uses up one of
        # the few the interpreter keeps for when it cannot allocate one.
        (result, error), box[:] = box, ()
        outcome = judge(result, error, expected, order, reached)
        result = error = None
        key = "fault" if outcome.startswith("fault") else outcome
        counts[key] = counts.get(key, 0) + 1
        if key == "fault" and len(faults) < 3:
            faults.append("n=%d%s: %s" % (n, " only" if single else " on", outcome))
        n += 1
        if outcome == "done" and not single:
            total, n, reached[0] = 2 * n + 10, 0, 0
    if total == CAP:
        faults.append("not done after %d allocations" % CAP)
    gc.collect()
    return {"case": name, "counts": counts, "faults": faults,
            "blocks": sys.getallocatedblocks() - blocks}


def check_module(ob):
    assert ob.Body(1.0, x=2.0) == {"r": [2.0, 0.0, 0.0], "v": [0.0] * 3, "probe": 0, "m": 1.0}
    array = ob.BodyArray([ob.Body(m=float(k), vz=1.0, probe=k) for k in range(3)])
    assert array["m"].tolist() == [0.0, 1.0, 2.0] and array["probe"].tolist() == [0, 1, 2]
    assert array["v"].tolist() == [[0.0, 0.0, 1.0]] * 3


def allocating_empty(*args, **kwargs):
    return [numpy.empty(*args, **kwargs)][0]


class AllocatingNumpy:
    """A stand-in `np` whose attribute fetch and `empty` run Python code that allocates:
    their MemoryErrors are certainly np.empty's statement's, and so is every allocation
    between them, which a line out of order then shows."""

    def __getattr__(self, name):
        return [allocating_empty][0]


CALLER_LINES = {"__getattr__": 38, "allocating_empty": 38}


BODY_LINES = ((25, 26),)
ARRAY_LINES = ((35,), (37,), (38,), (39, 40, 41, 42, 43))


def call_cases(ob):
    Body, BodyArray = ob.Body, ob.BodyArray
    good = {"r": [1.0, 2.0, 3.0], "v": [4.0, 5.0, 6.0], "probe": -7, "m": 8.0}
    bodies = [dict(good, m=float(k)) for k in range(3)]
    # Past 256 items the loop counter leaves the small-int cache and allocates.
    many = [dict(good, m=float(k)) for k in range(300)]
    general = [{"m": 1, "r": (1, 2, 3), "v": [0.0] * 3, "probe": True},
               type("Sub", (dict,), {})(good), dict(good, m=numpy.float64(2.5))]

    def fixed(*args, **kwargs):
        return lambda: (args, kwargs)

    # Failures first, while the traceback code objects of their sites are not made yet.
    failing = [
        ("Body vx='x'", fixed(1.0, vx="x"), Body, (TypeError, 26)),
        ("Body probe=300", fixed(probe=300), Body, (OverflowError, 26)),
        ("BodyArray not iterable", fixed(5), BodyArray, (TypeError, 37)),
        ("BodyArray missing key", fixed([good, {k: good[k] for k in "mrv"}]), BodyArray,
         (KeyError, 43)),
    ]
    cases = failing + [(name + " (warm)", *rest) for name, *rest in failing] + [
        ("Body", fixed(1.0, 2.0, y=3.0, vz=4.0, probe=5), Body, None),
        ("BodyArray fast", fixed(bodies), BodyArray, None),
        ("BodyArray generator", lambda: (((b for b in bodies),), {}), BodyArray, None),
        ("BodyArray general", fixed(general), BodyArray, None),
        ("BodyArray 300 items", fixed(many), BodyArray, None),
    ]
    return [(name, make, call, expected, BODY_LINES if call is Body else ARRAY_LINES,
             AllocatingNumpy() if "300" in name else numpy)
            for name, make, call, expected in cases]


def sweep_calls(only=""):
    """Each case plain and under a profiler, six times over: the first round reports the
    outcomes, the later ones the allocated blocks, after NumPy's caches have settled."""
    import orbitra.body as ob

    rounds = []
    # Five later rounds: the interpreter's and NumPy's caches can keep a few dozen blocks
    # through the first rounds of a case (seen up to 79, then settling at 6); a lost
    # reference grows the blocks in every round.
    for _ in range(6):
        summaries = []
        for profiled in (False, True):
            for name, make, call, expected, order, np in call_cases(ob):
                name += " (profiled)" * profiled
                # From 3.12 the interpreter fails the profile event of a generator or of
                # the stand-in np's Python code with its own SystemError when it cannot
                # make their frame object.
                if only not in name or profiled and ("generator" in name or "300" in name):
                    continue
                ob.np = np
                if expected is None:  # a success: the result of an unhooked call
                    args, kwargs = make()
                    expected = call(*args, **kwargs)
                summaries.append(sweep(name, make, call, expected, order,
                                       profiled and quiet_profiler))
                ob.np = numpy
        rounds.append(summaries)
    # A lost reference grows the blocks in every round; the interpreter's own caches,
    # refilled after a failed allocation, only now and then.
    for first, *later in zip(*rounds):
        first["blocks"] = min(summary["blocks"] for summary in later)
    check_module(ob)
    return rounds[0]


def sweep_import(n, single):
    """One start-up in this process, with allocation n failing (n on, unless single)."""
    import ctypes
    import importlib.util

    # The window holds the module's initialisation function and nothing of the loader
    # around it: importlib spins for good and 3.13.0's extension cache crashes when their
    # own allocations fail. Called this way the module still registers itself.
    box = [None, None]
    window(n, n + 1 if single else 0, module_initialiser(), (), {}, box, None)
    (module, error), box[:] = box, ()
    summary = {"n": n, "single": single, "error": error and type(error).__name__,
               "message": error and str(error), "lines": error and module_lines(error),
               "registered": "orbitra.body" in sys.modules}
    if error is None:  # registered by the import system, which this call stands in for
        sys.modules["orbitra.body"] = module
    if error is None or not summary["registered"]:  # else a half-made module stays
        import orbitra.body as ob

        check_module(ob)
        assert module is None or module is ob
    return summary


def module_initialiser():
    import ctypes
    import importlib.util

    init = ctypes.PyDLL(importlib.util.find_spec("orbitra.body").origin).PyInit_body
    init.restype = ctypes.py_object
    return init


def sweep_again():
    """Start-ups after a first one (a second name's, another interpreter's), each run as a
    first import with one allocation failing, until 300 in a row meet no failure. numpy.dtype
    is a stand-in of its size that gives the dtype already made: NumPy's own call crashes on
    some failed allocations once warm. The first module and its profiled BodyArray must work
    on after each, with the same code object in its events."""
    import orbitra.body as ob

    codes = []
    slots = (numpy.dtype.__basicsize__ - object.__basicsize__) // 8
    numpy.dtype = type("dtype", (), {"__slots__": tuple("s%d" % k for k in range(slots)),
                                     "__new__": lambda cls, *args, **kwargs: ob.dtype})
    init, box, n, failures = module_initialiser(), [None, None], 0, []
    while n - (failures or [0])[-1] < 300:
        del sys.modules["orbitra.body"]
        window(n, n + 1, init, (), {}, box, None)
        (module, error), box[:] = box, [None, None]
        sys.modules["orbitra.body"] = ob
        sys.setprofile(lambda frame, event, arg: frame.f_code.co_name == "BodyArray"
                       and codes.append(frame.f_code))
        check_module(ob)
        sys.setprofile(None)
        assert len({id(code) for code in codes}) == 1 and codes[0].co_firstlineno == 35
        if error is not None:
            assert isinstance(error, MemoryError), error
            failures.append(n)
        else:  # the loader is given the placeholder None, not the marker
            assert module is not ob and module.__spec__ is None
        n += 1
    return {"failures": len(failures)}


def entry_places(error):
    tb, places = error.__traceback__, []
    while tb is not None:
        if tb.tb_frame.f_code.co_filename in (SOURCE, "stringsource"):
            places.append((tb.tb_frame.f_code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return places


def sweep_lines():
    """The places that the module's entries name when each single allocation of a call
    fails. Floats and 1-tuples come from free lists while these have some: those are
    emptied before each call, so that the call allocates its own."""
    import orbitra.body as ob

    calls = {"Body": lambda: ob.Body(x=1.5), "BodyArray": lambda: ob.BodyArray([])}
    seen, held = {}, []
    for name, call in calls.items():
        places = set()
        for n in range(150):
            held.append([(float(k) + 0.5,) for k in range(120)])
            box = [None, None]
            window(n, n + 1, call, (), {}, box, None)
            (result, error), box[:] = box, ()
            if isinstance(error, MemoryError):
                places.update(entry_places(error))
            result = error = None
        seen[name] = sorted(places)
    return seen


if __name__ == "__main__":
    if sys.argv[1] == "calls":
        print(json.dumps(sweep_calls(*sys.argv[2:3])))
    elif sys.argv[1] == "again":
        print(json.dumps(sweep_again()))
    elif sys.argv[1] == "lines":
        print(json.dumps(sweep_lines()))
    else:
        print(json.dumps(sweep_import(int(sys.argv[2]), sys.argv[3:] == ["single"])))
