"""Body and BodyArray on several threads at once, one of them under a profiler."""
import sys
import threading
import traceback

import orbitra.body as ob

SOURCE = "orbitra\\body"
OURS = {"Body", "Body (wrapper)", "BodyArray", "__Pyx_carray_to_py_double"}


def test_threads_with_one_profiled():
    events, failures = [], []
    start = threading.Barrier(4)

    def hook(frame, event, arg):
        if frame.f_code.co_name in OURS and event in ("call", "return"):
            events.append((threading.get_ident(), event, frame.f_code.co_name))

    def work(seed, profiled):
        try:
            start.wait()
            if profiled:
                sys.setprofile(hook)
            try:
                for k in range(300):
                    m, probe = float(seed * 1000 + k), (seed * 7 + k) % 256 - 128
                    body = ob.Body(m, k, -k, vz=0.5, probe=probe)
                    assert body == {"r": [float(k), float(-k), 0.0],
                                    "v": [0.0, 0.0, 0.5], "probe": probe, "m": m}
                    arr = ob.BodyArray([body, dict(body, m=-m), body])
                    assert arr["m"].tolist() == [m, -m, m] and arr["probe"].tolist() == [probe] * 3
                    assert arr["r"][1].tolist() == body["r"] and arr.dtype == ob.dtype
                    try:
                        ob.BodyArray([body, {"m": 1.0}])
                    except KeyError:
                        pass
                    else:
                        raise AssertionError("missing 'r' went unnoticed")
            finally:
                sys.setprofile(None)
        except BaseException as e:  # noqa: BLE001 - reported by the main thread
            failures.append(e)

    threads = [threading.Thread(target=work, args=(seed, seed == 2)) for seed in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    profiled = threads[2].ident
    assert {ident for ident, _, _ in events} == {profiled}
    # per iteration: Body's 8 events, BodyArray's call and return twice
    assert len(events) == 300 * (8 + 4)
    assert events[:8] == [(profiled, e, n) for e, n in [
        ("call", "Body (wrapper)"), ("call", "Body"), ("return", "Body"),
        ("call", "__Pyx_carray_to_py_double"), ("return", "__Pyx_carray_to_py_double"),
        ("call", "__Pyx_carray_to_py_double"), ("return", "__Pyx_carray_to_py_double"),
        ("return", "Body (wrapper)")]]



def module_line(error):
    [line] = [e.lineno for e in traceback.extract_tb(error.__traceback__) if e.filename == SOURCE]
    return line


def test_failures_at_the_same_time_keep_their_own_entries():
    # The first thread fails while the second is inside its call; the second fails after
    # the first has left. Each entry names its own thread's failure.
    second_inside, first_done, errors = threading.Event(), threading.Event(), {}

    class First(dict):
        def __getitem__(self, key):
            second_inside.wait(10)
            raise KeyError(key)

    class Second(dict):
        def __getitem__(self, key):
            if key == "m":
                second_inside.set()
                first_done.wait(10)
            return dict.__getitem__(self, key)

    def run(name, item):
        try:
            ob.BodyArray([item])
        except KeyError as e:
            errors[name] = module_line(e)
        finally:
            first_done.set()
    second = threading.Thread(target=run, args=("second", Second(m=1.0, r=[0.0] * 3, v=[0.0] * 3)))
    first = threading.Thread(target=run, args=("first", First()))
    first.start()
    second.start()
    first.join()
    second.join()
    assert errors == {"first": 40, "second": 43}
