"""Many bodies at once: the time and the peak memory of four ways to make the same body array.

Run with the interpreter that has orbitra installed, from any folder:

    python bench/many_bodies.py [count]        # 1,000,000 bodies unless a count is given

Each way runs in a process of its own, so that one's memory does not hide another's. Peak
memory is the process's largest resident size while it built the array, less what it held
before (NumPy and the module imported); the array itself is 57 bytes per body.
"""

import itertools
import resource
import subprocess
import sys
import time

import numpy as np

from orbitra.body import Body, BodyArray, dtype

CHUNK = 10_000


def by_columns(n):
    i = np.arange(n)
    bodies = np.zeros(n, dtype=dtype)
    bodies["m"] = 1.0 + i % 7
    bodies["r"][:, 0] = i
    bodies["v"][:, 1] = 0.5 * i
    bodies["probe"] = i % 100
    return bodies


def body_dicts(n):
    return (Body(m=1.0 + k % 7, x=float(k), vy=0.5 * k, probe=k % 100) for k in range(n))


def in_chunks(stream, n, chunk=CHUNK):
    bodies, stream = np.empty(n, dtype=dtype), iter(stream)
    for start in range(0, n, chunk):
        bodies[start:start + chunk] = BodyArray(itertools.islice(stream, chunk))
    return bodies


WAYS = {
    "columns of np.zeros": by_columns,
    "BodyArray(list of dicts)": lambda n: BodyArray(list(body_dicts(n))),
    "BodyArray(generator)": lambda n: BodyArray(body_dicts(n)),
    "chunks of %d dicts" % CHUNK: lambda n: in_chunks(body_dicts(n), n),
}


def peak_megabytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # kB on Linux


def measure(way, n):
    """The child process: builds the array one way; prints seconds, CPU seconds, megabytes."""
    before = peak_megabytes()
    start, cpu = time.perf_counter(), time.process_time()
    bodies = WAYS[way](n)
    elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
    peak = peak_megabytes() - before
    assert bodies.tobytes() == by_columns(n).tobytes()  # the same bytes every way
    print(elapsed, cpu, peak)


def main():
    if sys.argv[1:2] == ["--measure"]:
        return measure(sys.argv[2], int(sys.argv[3]))
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    print("CPython %s, NumPy %s: %d bodies, an array of %.0f MB"
          % (sys.version.split()[0], np.__version__, n, n * dtype.itemsize / 1e6))
    print("%-26s %9s %9s %16s" % ("way", "seconds", "CPU s", "peak MB above"))
    for way in WAYS:
        out = subprocess.run([sys.executable, __file__, "--measure", way, str(n)], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        elapsed, cpu, peak = map(float, out.split())
        print("%-26s %9.3f %9.3f %16.0f" % (way, elapsed, cpu, peak))


if __name__ == "__main__":
    main()
