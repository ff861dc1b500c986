"""Benchmarks of orbitra.body against pure Python, NumPy and a hand-written C floor.

Run with the interpreter that has orbitra installed, from any folder:

    python bench/run.py [--quick]
    python bench/run.py --instructions
    python bench/run.py --instructions --check

Absolute times drift on shared machines, so every figure is compared in the same process
with its reference, and the ratios are what to read. The instruction mode does not drift:
each case runs in a process of its own under valgrind's cachegrind, at two call counts, and
the difference of the two totals over the difference of the counts is the cost of one call,
the same on every run however busy the machine is. With --check it measures only the
module and the floor, and fails when a case costs more than its limit times its floor.
"""

import argparse
import gc
import importlib.util
import operator
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit
import tracemalloc

import numpy as np

import orbitra.body as ob

HERE = pathlib.Path(__file__).resolve().parent
# The floor reads small ints through the module's own interpreter-version header.
COMPAT_INCLUDE = HERE.parent / "src" / "orbitra" / "frame"


# The module's own Release flags (CMakeLists.txt and the build type), so that the floor
# is compiled exactly as well as the module is.
FLOOR_FLAGS = ["-O3", "-DNDEBUG", "-std=c++17", "-fPIC", "-fvisibility=hidden",
               "-fno-strict-aliasing", "-fno-exceptions"]


def build_floor(folder):
    """Compiles floor.cpp for the running interpreter and imports it."""
    return load_floor(compile_floor(folder))


def compile_floor(folder):
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = pathlib.Path(folder) / ("floor" + suffix)
    subprocess.run(
        ["g++", *FLOOR_FLAGS, "-shared", "-I", sysconfig.get_paths()["include"],
         "-I", str(COMPAT_INCLUDE), str(HERE / "floor.cpp"), "-o", str(target)],
        check=True,
    )
    return target


def load_floor(target):
    found = importlib.util.spec_from_file_location("floor", str(target))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def python_body(m=0.0, x=0.0, y=0.0, z=0.0, vx=0.0, vy=0.0, vz=0.0, probe=0):
    return {"r": [float(x), float(y), float(z)], "v": [float(vx), float(vy), float(vz)],
            "probe": operator.index(probe), "m": float(m)}


def best_of(functions, repeats, number):
    """Best time per call in ns of each function, over `repeats` rounds of `number` calls.
    The functions take turns within each round, so that a change of machine load
    between them shows in every one of them rather than in their ratio."""
    best = [float("inf")] * len(functions)
    for _ in range(repeats):
        for index, function in enumerate(functions):
            start = time.perf_counter()
            function(number)
            best[index] = min(best[index], (time.perf_counter() - start) / number * 1e9)
    return best


def call_loop(body, call):
    """A loop of the literal call expression, as user code would write it."""
    return timeit.Timer(call, globals={"Body": body}).timeit


def body_rows(floor, repeats, number):
    calls = [
        "Body(1.0, x=2.0)",
        "Body()",
        "Body(m=1.0, x=2.0, y=3.0, z=4.0, vx=5.0, vy=6.0, vz=7.0, probe=1)",
    ]
    rows = []
    for call in calls:
        label = call if len(call) < 22 else "Body(all keywords)"
        timings = best_of([call_loop(body, call) for body in (ob.Body, python_body, floor.Body)],
                          repeats, number)
        rows.append((label, *timings))
    return rows


def array_rows(floor, repeats, count):
    bodies = [ob.Body(float(i), x=1.0 * i, y=2.0, z=3.0, vx=4.0, vy=5.0, vz=6.0, probe=i % 100)
              for i in range(count)]

    def ours(_):
        ob.BodyArray(bodies)

    def from_tuples(_):
        np.array([(b["r"], b["v"], b["probe"], b["m"]) for b in bodies], ob.dtype)

    def from_iterator(_):
        return np.fromiter(((b["r"], b["v"], b["probe"], b["m"]) for b in bodies), ob.dtype,
                           count=len(bodies))

    def by_columns(_):
        array = np.empty(len(bodies), ob.dtype)
        for field in ("r", "v", "probe", "m"):
            array[field] = [b[field] for b in bodies]
        return array

    def c_floor(_):
        floor.store(bodies, np.empty(len(bodies), dtype=ob.dtype))

    expected = np.empty(count, ob.dtype)
    floor.store(bodies, expected)
    assert ob.BodyArray(bodies).tobytes() == expected.tobytes()
    assert from_iterator(0).tobytes() == by_columns(0).tobytes() == expected.tobytes()
    per_element = [t / count for t in best_of([ours, from_tuples, from_iterator, by_columns,
                                               c_floor], repeats, 1)]
    return per_element


def print_array_table(count, per_element):
    """BodyArray against the ways to build the same array in Python, in ns per element, and
    each over BodyArray."""
    print()
    print("BodyArray of %d Body dicts against the same array built in Python" % count)
    labels = ("BodyArray", "np.array from tuples", "np.fromiter of tuples",
              "fill each column", "C floor")
    print("%-24s %12s %14s" % ("way", "ns/element", "its/BodyArray"))
    for label, time_per_element in zip(labels, per_element):
        print("%-24s %12.1f %14.2f" % (label, time_per_element, time_per_element / per_element[0]))


def view_costs(count, repeats):
    """ms per operation on the unaligned field views of a body array and on contiguous
    copies of them, and for making those copies."""
    array = np.zeros(count, ob.dtype)
    array["m"] = np.arange(count, dtype=float)
    array["r"] = np.arange(3.0 * count).reshape(count, 3)
    m, r = array["m"], array["r"]
    m_copy, r_copy = m.copy(), r.copy()
    operations = [
        ("a['m'].sum()", lambda: m.sum()), ("the same, copied", lambda: m_copy.sum()),
        ("a['r'] * 2.0", lambda: r * 2.0), ("the same, copied", lambda: r_copy * 2.0),
        ("a['m'].copy()", lambda: m.copy()), ("a['r'].copy()", lambda: r.copy()),
    ]
    return [(label, min(timeit.repeat(operation, number=5, repeat=repeats)) / 5 * 1e3)
            for label, operation in operations]


def print_view_table(count, costs):
    print()
    print("%d bodies: field views against contiguous copies, ms" % count)
    for label, milliseconds in costs:
        print("%-22s %10.3f" % (label, milliseconds))
    view_sum, copied_sum, view_product, copied_product, copy_m, copy_r = (
        milliseconds for _, milliseconds in costs)
    print("sum %.1f times slower on the view, product %.1f times; copying m costs %.2f of a sum "
          "over its view, copying r %.2f of a product over its view"
          % (view_sum / copied_sum, view_product / copied_product, copy_m / view_sum,
             copy_r / view_product))


def import_times(repeats):
    def timed(statement):
        best = float("inf")
        for _ in range(repeats):
            output = subprocess.run(
                [sys.executable, "-c",
                 "import time; s = time.perf_counter(); %s; print(time.perf_counter() - s)" % statement],
                check=True, capture_output=True, text=True, cwd=tempfile.gettempdir(),
                env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)),
            ).stdout
            best = min(best, float(output) * 1e3)
        return best

    return timed("import orbitra.body"), timed("import numpy")


def peak_memory(count):
    bodies = [ob.Body(float(i)) for i in range(count)]
    ob.BodyArray(bodies[:10])  # warm caches and lazily made objects
    tracemalloc.start()
    tracemalloc.reset_peak() if hasattr(tracemalloc, "reset_peak") else None
    before = tracemalloc.get_traced_memory()[0]
    array = ob.BodyArray(bodies)
    peak = tracemalloc.get_traced_memory()[1] - before
    tracemalloc.stop()
    result = array.nbytes
    list_copy = sys.getsizeof(list(bodies))
    return (peak - result - list_copy) / count, peak / count


def print_table(header, rows, time_format):
    """Rows of (label, ours, reference, floor), with ours over the floor and the reference."""
    print()
    print("%-22s %10s %10s %10s %12s %12s" % header)
    for label, ours, reference, c_floor in rows:
        times = " ".join(time_format % t for t in (ours, reference, c_floor))
        print("%-22s %s %12.2f %12.2f" % (label, times, ours / c_floor, ours / reference))


# ---------------------------------------------------------------------------------------
# Instruction counts

BODY_CALLS = {
    "Body()": "Body()",
    "Body(1.0, x=2.0)": "Body(1.0, x=2.0)",
    "Body(all keywords)": "Body(m=1.0, x=2.0, y=3.0, z=4.0, vx=5.0, vy=6.0, vz=7.0, probe=1)",
}
ARRAY_CASE = "BodyArray, per element"
IMPLEMENTATIONS = ("floor", "ours", "Python")
# The check mode's limit: ours over the floor, per call (per element for BodyArray).
CHECK_LIMIT = 1.05
# The ratio each case measured when its limit was set: CPython 3.11.7 with NumPy 2.4.6 and
# CPython 3.14.10 of the Debian-unstable root with NumPy 2.5.5, 2026-12-08, by this check.
# A case's limit is its ratio here plus MARGIN, and never above CHECK_LIMIT; interpreters
# without figures here get CHECK_LIMIT. The check prints each ratio beside the one here, so
# its output shows which way the change since moved it. Record new figures whenever a change
# to the module or the floor moves a ratio on purpose.
REFERENCE_RATIOS = {
    ("Body()", "3.11"): 1.0345,
    ("Body(1.0, x=2.0)", "3.11"): 1.0357,
    ("Body(all keywords)", "3.11"): 1.0195,
    (ARRAY_CASE, "3.11"): 1.0240,
    ("Body()", "3.14"): 1.0382,
    ("Body(1.0, x=2.0)", "3.14"): 1.0290,
    ("Body(all keywords)", "3.14"): 1.0214,
    (ARRAY_CASE, "3.14"): 1.0369,
}
# Between two clones of the repository, with the same interpreter and NumPy, a Body call's
# count has moved by up to 16 instructions: 0.0071 of the cheapest call (Body() on 3.14,
# 2250 instructions). The module and the floor move together, so the ratios move less: this
# check run from a copy of bench/ at a longer path moved the counts by up to 12 instructions
# per call and 4 per element, and no ratio by more than 0.0002 (CPython 3.11, 2026-12-08).
# The margin covers the whole movement of a count, and a figure is recorded only with the
# margin still within CHECK_LIMIT.
MARGIN = 0.01
assert all(ratio + MARGIN <= CHECK_LIMIT for ratio in REFERENCE_RATIOS.values())
# Idle BLAS worker threads spin for a while after NumPy starts them, by a count of
# instructions that varies from run to run.
DETERMINISTIC_ENVIRONMENT = {
    "PYTHONHASHSEED": "0",
    "OPENBLAS_NUM_THREADS": "1",
    "OMP_NUM_THREADS": "1",
    "MKL_NUM_THREADS": "1",
    "BLIS_NUM_THREADS": "1",
    "VECLIB_MAXIMUM_THREADS": "1",
    "NUMEXPR_NUM_THREADS": "1",
    "PYTHONDONTWRITEBYTECODE": "1",
}


def measured_run(case, implementation, count, counts, floor_path):
    """The child process: `count` calls of one case, after set-up that does not depend on
    `count`, so that the difference of two runs is the calls alone."""
    floor = load_floor(floor_path)
    if case in BODY_CALLS:
        body = {"floor": floor.Body, "ours": ob.Body, "Python": python_body}[implementation]
        timer = timeit.Timer(BODY_CALLS[case], globals={"Body": body})
        timer.timeit(2000)  # specialised and warm before the measured loop
        gc.collect()
        timer.timeit(count)  # timeit keeps the collector off while it runs
        return
    bodies = [ob.Body(float(i), x=1.0 * i, y=2.0, z=3.0, vx=4.0, vy=5.0, vz=6.0, probe=i % 100)
              for i in range(max(counts))]
    inputs = [bodies[:size] for size in counts]
    function = {
        "floor": lambda b: floor.store(b, np.empty(len(b), dtype=ob.dtype)),
        "ours": ob.BodyArray,
        "Python": lambda b: np.array([(d["r"], d["v"], d["probe"], d["m"]) for d in b], ob.dtype),
    }[implementation]
    function(bodies[:100])
    gc.collect()
    gc.disable()
    function(inputs[counts.index(count)])
    gc.enable()


def counted_instructions(case, implementation, count, counts, floor_path, folder):
    out = pathlib.Path(folder) / "cachegrind.out"
    subprocess.run(
        ["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=%s" % out,
         sys.executable, str(pathlib.Path(__file__).resolve()), "--measured-run", case,
         implementation, str(count), "%d,%d" % counts, str(floor_path)],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=dict(os.environ, **DETERMINISTIC_ENVIRONMENT), cwd=folder,
    )
    for line in out.read_text().splitlines():
        if line.startswith("summary:"):
            return int(line.split()[1])
    raise RuntimeError("no summary in cachegrind's output")


def instructions_per_call(cases, implementations, counts, folder):
    """{case: {implementation: instructions per call}}"""
    floor_path = compile_floor(folder)
    first, second = counts
    results = {}
    for case in cases:
        scale = 1 if case in BODY_CALLS else 10  # elements cost less than a call
        n1, n2 = first * scale, second * scale
        results[case] = {}
        for implementation in implementations:
            totals = [counted_instructions(case, implementation, n, (n1, n2), floor_path, folder)
                      for n in (n1, n2)]
            results[case][implementation] = (totals[1] - totals[0]) / (n2 - n1)
    return results


def reference_ratio(case):
    return REFERENCE_RATIOS.get((case, "%d.%d" % sys.version_info[:2]))


def check_limit(case):
    reference = reference_ratio(case)
    return CHECK_LIMIT if reference is None else reference + MARGIN


def movement(ratio, reference):
    """Which way the ratio moved from the recorded one, in the printed precision."""
    if reference is None:
        return "none recorded"
    change = round(ratio - reference, 4)
    return "unchanged" if change == 0 else "%s %.4f" % ("up" if change > 0 else "down", abs(change))


def check_floor(results):
    """Prints every case against its recorded ratio and its limit; the number of cases over it."""
    print()
    print("%-22s %9s %9s %10s %9s %-15s %7s" % ("case", "ours", "C floor", "ours/floor",
                                                 "recorded", "since recorded", "limit"))
    over = []
    for case, per_call in results.items():
        ratio = per_call["ours"] / per_call["floor"]
        reference, limit = reference_ratio(case), check_limit(case)
        print("%-22s %9.1f %9.1f %10.4f %9s %-15s %7.4f%s" % (
            case, per_call["ours"], per_call["floor"], ratio,
            "-" if reference is None else "%.4f" % reference, movement(ratio, reference), limit,
            "  OVER" if ratio > limit else ""))
        if ratio > limit:
            over.append("%s: %.1f instructions, %.4f times the floor's %.1f (limit %.4f)"
                        % (case, per_call["ours"], ratio, per_call["floor"], limit))
    print()
    for line in over:
        print("FLOOR CHECK FAILED: " + line)
    if not over:
        print("floor check passed: every case within its limit")
    return len(over)


def instructions_main(options):
    cases = [*BODY_CALLS, ARRAY_CASE]
    counts = (2000, 4000) if options.quick else (10000, 20000)
    implementations = ("floor", "ours") if options.check else IMPLEMENTATIONS
    with tempfile.TemporaryDirectory() as folder:
        print("CPython %s, NumPy %s: instructions per call (cachegrind, calls %d and %d)"
              % (sys.version.split()[0], np.__version__, *counts))
        results = instructions_per_call(cases, implementations, counts, folder)
    if options.check:
        return 1 if check_floor(results) else 0
    print_table(("case", "ours", "Python", "C floor", "ours/floor", "ours/Python"),
                [(case, r["ours"], r["Python"], r["floor"]) for case, r in results.items()],
                "%10.0f")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, for a smoke run")
    parser.add_argument("--instructions", action="store_true",
                        help="instructions per call under cachegrind instead of times")
    parser.add_argument("--check", action="store_true",
                        help="with --instructions: fail when a case costs more than its limit "
                             "times the floor (its recorded ratio plus %.2f, at most %.2f)"
                             % (MARGIN, CHECK_LIMIT))
    parser.add_argument("--measured-run", nargs=5, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.check and not options.instructions:
        parser.error("--check goes with --instructions")
    if options.measured_run:
        case, implementation, count, counts, floor_path = options.measured_run
        measured_run(case, implementation, int(count), [int(n) for n in counts.split(",")],
                     floor_path)
        return
    if options.instructions:
        sys.exit(instructions_main(options))
    repeats, number, count = (3, 20000, 10000) if options.quick else (15, 100000, 100000)

    with tempfile.TemporaryDirectory() as folder:
        floor = build_floor(folder)
        print("CPython %s, NumPy %s" % (sys.version.split()[0], np.__version__))
        print_table(("call", "ours ns", "Python ns", "C floor ns", "ours/floor", "ours/Python"),
                    body_rows(floor, repeats, number), "%10.0f")
        print_array_table(count, array_rows(floor, repeats, count))
    print()
    orbitra_ms, numpy_ms = import_times(3 if options.quick else 7)
    print("import orbitra.body %.1f ms, import numpy %.1f ms, ratio %.2f"
          % (orbitra_ms, numpy_ms, orbitra_ms / numpy_ms))
    print_view_table(10 ** 6, view_costs(10 ** 6, 3 if options.quick else 7))
    extra, total = peak_memory(count)
    print("BodyArray peak memory: %.1f bytes/element in all, %.2f bytes/element beyond the "
          "result and the list copy" % (total, extra))


if __name__ == "__main__":
    main()
