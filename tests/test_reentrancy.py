"""Randomised re-entrancy: Body and BodyArray against the pure-Python model while the
Python code they call mutates what they work on (reentrancy_fuzz.py, in child processes:
a crash names its seed and case, and the run goes on after it).

ORBITRA_FUZZ_CASES sets the number of cases (the sanitizer build of CI runs many more)."""
import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.slow

FUZZ = pathlib.Path(__file__).with_name("reentrancy_fuzz.py")
SEED = 20261207
CASES = int(os.environ.get("ORBITRA_FUZZ_CASES", "500"))


def run_cases(cwd, first, count):
    """(mismatches, None) or, after a crash, (mismatches so far, the crashed case's line)."""
    env = dict(os.environ, PYTHONPATH=str(FUZZ.parent))
    res = subprocess.run([sys.executable, str(FUZZ), str(SEED), str(first), str(count)],
                         cwd=str(cwd), env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=3600)
    if res.returncode == 0:
        return json.loads(res.stdout)["mismatches"], None
    cases = [line for line in res.stderr.splitlines() if line.startswith("case ")]
    return [], "%s\n  ended with %d: %s" % (
        cases[-1] if cases else "(before the first case)", res.returncode,
        res.stderr.strip().splitlines()[-1:])


def test_reentrant_callbacks_match_the_model(tmp_path):
    # In a temporary folder: the child imports the installed package, whatever the working folder holds.
    faults, first, started = [], 0, time.monotonic()
    while first < CASES and len(faults) < 10:
        mismatches, crash = run_cases(tmp_path, first, CASES - first)
        faults += mismatches
        if crash is None:
            break
        faults.append(crash)
        first = int(crash.split(":")[1]) + 1
    print("%d cases of seed %d in %.1f s" % (CASES, SEED, time.monotonic() - started))
    assert not faults, "\n".join(map(str, faults))
