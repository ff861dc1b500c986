"""CI, on a free-threaded CPython: importing orbitra.body turns the GIL on, with CPython's warning.

The module does not declare that it runs safely without the GIL, so the interpreter enables the
GIL to load it and says so in a RuntimeWarning, the one docs/platforms.md shows. The import runs
in a child interpreter started as a user's would be: without PYTHON_GIL or -X gil (the suite
itself runs with PYTHON_GIL=1), from an empty folder, under the default warning filters.

    python .ci/free_threaded_import.py
"""
import os
import subprocess
import sys
import sysconfig
import tempfile

# The opening of CPython's message, as its own tests of 3.14 and 3.15 (test_embed) match it.
EXPECTED = "RuntimeWarning: The global interpreter lock (GIL) has been enabled to load module 'orbitra.body'"
CHILD = "import sys; before = sys._is_gil_enabled(); import orbitra.body; print(before, sys._is_gil_enabled())"


def main():
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        sys.exit("free_threaded_import: %s is not a free-threaded build" % sys.executable)
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("PYTHON_GIL", "PYTHONWARNINGS")}
    with tempfile.TemporaryDirectory() as empty:
        child = subprocess.run([sys.executable, "-c", CHILD], cwd=empty, env=environment,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    print("stdout:", child.stdout.strip())
    print("stderr:", child.stderr.strip())
    if child.returncode != 0:
        sys.exit("free_threaded_import: the import failed")
    if child.stdout.split() != ["False", "True"]:
        sys.exit("free_threaded_import: the GIL was not off before the import and on after it")
    warnings = [line for line in child.stderr.splitlines() if "Warning: " in line]
    if len(warnings) != 1 or EXPECTED not in warnings[0]:
        sys.exit("free_threaded_import: expected one warning with %r" % EXPECTED)
    print("free_threaded_import: the GIL was turned on to load orbitra.body, with CPython's warning")


if __name__ == "__main__":
    main()
