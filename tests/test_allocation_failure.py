"""Failed allocations inside orbitra.body: every call and every start-up ends in its
result or a MemoryError, and the module works afterwards. The sweeps run in child
processes (alloc_sweep.py) so that a crash is seen as one. ORBITRA_FULL_SWEEP=1 fails
every allocation of a start-up instead of every seventh (ORBITRA_SWEEP_STRIDE: every n-th)."""
import json
import os
import pathlib
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

pytestmark = pytest.mark.slow
_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("the interpreter cannot fail allocations on demand", allow_module_level=True)

SWEEP = str(pathlib.Path(__file__).with_name("alloc_sweep.py"))
# Under emulation CI samples more sparsely still (ORBITRA_SWEEP_STRIDE).
STRIDE = (1 if os.environ.get("ORBITRA_FULL_SWEEP") == "1"
          else int(os.environ.get("ORBITRA_SWEEP_STRIDE", "7")))
NUMPY_DTYPE_ERROR = "StringDType is not currently supported for structured dtype fields."

CASES = [
    name + profiled
    for profiled in ("", " (profiled)")
    for name in ("Body vx='x'", "Body probe=300", "BodyArray not iterable",
                 "BodyArray missing key", "Body vx='x' (warm)", "Body probe=300 (warm)",
                 "BodyArray not iterable (warm)", "BodyArray missing key (warm)", "Body",
                 "BodyArray fast", "BodyArray generator", "BodyArray general",
                 "BodyArray 300 items")
    if not (profiled and ("generator" in name or "300" in name))
]


def run_child(cwd, *args, flags=()):
    # In a temporary folder: the child imports the installed package, whatever the working folder holds.
    res = subprocess.run([sys.executable, *flags, SWEEP, *args], cwd=str(cwd), stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=600)
    last = (res.stderr.strip().splitlines() or ["(nothing)"])[-1]
    assert res.returncode == 0, "child %s ended with %d after %s\n%s" % (
        args, res.returncode, last, res.stderr[-3000:])
    return json.loads(res.stdout)


@pytest.fixture(scope="module")
def call_sweeps(tmp_path_factory):
    return {s["case"]: s for s in run_child(tmp_path_factory.mktemp("calls"), "calls")}


@pytest.mark.parametrize("case", CASES)
def test_call_gives_result_or_memory_error(call_sweeps, case):
    summary = call_sweeps[case]
    assert summary["faults"] == []
    assert summary["counts"]["memory"] and summary["counts"]["done"]
    # Lost references under failing allocations would pile up over the sweep's calls.
    assert summary["blocks"] < 30


@pytest.fixture(scope="module")
def start_ups(tmp_path_factory):
    """Start-ups failing allocation n and all after it, up to the first n that succeeds,
    then failing allocation n alone; each in a process of its own, which then imports the
    module and checks that it works."""
    cwd = tmp_path_factory.mktemp("import")
    with ThreadPoolExecutor(8) as pool:
        from_n, n = [], 0
        while not from_n or from_n[-1]["error"]:
            for summary in pool.map(lambda k: run_child(cwd, "import", str(k)),
                                    range(n, n + 8 * STRIDE, STRIDE)):
                if not from_n or from_n[-1]["error"]:
                    from_n.append(summary)
            n += 8 * STRIDE
            assert n < 5000, "start-up never succeeds"
        only_n = list(pool.map(lambda k: run_child(cwd, "import", str(k), "single"),
                               range(0, from_n[-1]["n"] + 1, STRIDE)))
    return {"from": from_n, "only": only_n}


def start_up_fault(s):
    if s["error"] is None:
        return False
    if s["registered"]:
        return True  # the next import would find the half-made module
    # NumPy 2's np.dtype(<field list>) misreports some of its failed allocations so.
    numpy_error = s["message"] == NUMPY_DTYPE_ERROR and s["lines"] == [17]
    return s["error"] != "MemoryError" and not numpy_error


@pytest.mark.parametrize("mode", ["from", "only"])
def test_start_up_fails_cleanly(start_ups, mode):
    assert [s for s in start_ups[mode] if start_up_fault(s)] == []
    assert any(s["error"] == "MemoryError" for s in start_ups[mode])


def test_start_ups_after_the_first_leave_it_working(tmp_path):
    summary = run_child(tmp_path, "again", flags=("-X", "dev"))  # freed memory overwritten
    assert summary["failures"] > 20


def test_memory_errors_name_the_failing_statement(tmp_path):
    # The list conversion's item, np.empty's argument tuple: each allocation fails alone.
    seen = run_child(tmp_path, "lines")
    assert seen["Body"] == [["orbitra\\body", 25], ["stringsource", 115], ["stringsource", 117]]
    assert seen["BodyArray"] in ([["orbitra\\body", 38]], [["orbitra\\body", 37], ["orbitra\\body", 38]])
