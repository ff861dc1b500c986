"""Fails when a LeakSanitizer report holds a leak allocated through the orbitra module.

The interpreter and NumPy keep some memory to the end of the process on purpose; only
allocations whose stack passes through the module's own library count here.
"""

import pathlib
import re
import sys

MODULE = re.compile(r"orbitra/body\.cpython|/orbitra/(?:body|frame/)\w*\.cpp")
LIBRARY = re.compile(r"\((/[^)+]+)\+0x[0-9a-f]+\)")
FRAME = re.compile(r"^\s*#(\d+) ", re.M)
IMPORT = re.compile(r" in (?:PyImport_Import|PyImport_ImportModuleLevelObject) ")


def leaks(text):
    """Yields each leak record of a report: its header line and its stack."""
    for record in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
        if record.startswith(("Direct leak of", "Indirect leak of")):
            yield record.strip()


def made_by_module(leak):
    """True when the module asked for the block: walking out from the allocator, the
    module's frames come before those of any library other than the interpreter's own.
    A block that NumPy allocated for itself, while the module was calling it, is NumPy's,
    and so is one the interpreter's import machinery allocated while importing it."""
    for line in leak.splitlines():
        if not FRAME.match(line) or " in __interceptor_" in line:
            continue
        if IMPORT.search(line):
            return False
        if MODULE.search(line):
            return True
        library = LIBRARY.search(line)
        if library and "libpython" not in library.group(1):
            return False
    return False


def main(folder):
    found = []
    reports = sorted(pathlib.Path(folder).glob("asan*"))
    for report in reports:
        text = report.read_text(errors="replace")
        if "ERROR: AddressSanitizer" in text or "runtime error:" in text:
            found.append("%s:\n%s" % (report.name, text[:4000]))
        found.extend("%s:\n%s" % (report.name, leak) for leak in leaks(text) if made_by_module(leak))
    for item in found:
        print(item, end="\n\n")
    print("%d sanitizer reports read, %d findings in the module" % (len(reports), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
