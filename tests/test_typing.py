"""The installed stubs, as a user's type checker sees them: mypy on the files in typing/."""
import pathlib
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
pytestmark = pytest.mark.slow

HERE = pathlib.Path(__file__).resolve().parent / "typing"
ERROR = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[\w-]+)\]$")
MARKER = re.compile(r"# E: ([\w-]+)$")


def run(tmp_path, *args):
    # From tmp_path, so that mypy and stubtest see the installed package (stubs, py.typed
    # and compiled module) and nothing of the working folder.
    return subprocess.run([sys.executable, "-m", *args], cwd=str(tmp_path), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=600)


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("mypy")
    res = run(tmp_path, "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
              "--show-error-codes", "--no-error-summary", str(HERE / "good.py"), str(HERE / "bad.py"))
    errors = {}
    for line in res.stdout.splitlines():
        match = ERROR.match(line)
        if match:
            errors.setdefault(pathlib.Path(match["file"]).name, set()).add((int(match["line"]), match["code"]))
        else:
            # Anything else but notes (a crash, a stub that fails to parse) is a failure too.
            assert ": note: " in line, res.stdout
    return res.returncode, errors


def test_correct_use_type_checks(mypy_errors):
    assert mypy_errors[1].get("good.py", set()) == set()


def test_each_misuse_is_reported(mypy_errors):
    expected = {(number, match[1])
                for number, text in enumerate((HERE / "bad.py").read_text().splitlines(), 1)
                for match in [MARKER.search(text)] if match}
    assert len(expected) >= 10
    assert mypy_errors == (1, {"bad.py": expected})


def test_stubs_match_the_module(tmp_path):
    # BodyDict is the one name the stubs add: the record dict has no class at run time.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("orbitra.body.BodyDict\n")
    res = run(tmp_path, "mypy.stubtest", "--allowlist", str(allowlist), "orbitra.body")
    assert res.returncode == 0, res.stdout
